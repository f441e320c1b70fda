// What a terminal shows after a program's output: a small emulator of
// the cursor movements and erasures that readline and chat_client send,
// so that tests can look at the screen rather than at the byte stream.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace chat_test {

class Screen {
public:
    Screen(int rows, int columns) : rows_(rows), columns_(columns), cells_(rows, blank()) {}

    // Plays `output`; escapes it does not know move nothing.
    void play(std::string_view output)
    {
        for (size_t i = 0; i < output.size();) {
            unsigned char c = static_cast<unsigned char>(output[i]);
            if (c == '\x1b') {
                i = escape(output, i + 1);
            } else if (c < 0x20) {
                control(c);
                ++i;
            } else {
                size_t n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 1;
                put(std::string(output.substr(i, n)), c >= 0xe0 ? 2 : 1);  // CJK takes two columns
                i += n;
            }
        }
    }

    // Every row that scrolled off the top, then the visible rows, each
    // without trailing blanks.
    std::vector<std::string> lines() const
    {
        std::vector<std::string> all = scrolled_;
        for (const Row &row : cells_)
            all.push_back(text_of(row));
        while (!all.empty() && all.back().empty())
            all.pop_back();
        return all;
    }

    // The lines joined with newlines, for messages.
    std::string text() const
    {
        std::string joined;
        for (const std::string &line : lines())
            joined += line + "\n";
        return joined;
    }

    // How many lines contain `part`.
    size_t count(std::string_view part) const
    {
        auto all = lines();
        return std::count_if(all.begin(), all.end(),
                             [&](const std::string &line) { return line.find(part) != std::string::npos; });
    }

private:
    using Row = std::vector<std::string>;  // a cell holds a character, "" behind a wide one
    Row blank() const { return Row(columns_, " "); }

    static std::string text_of(const Row &row)
    {
        std::string text;
        for (const std::string &cell : row)
            text += cell;
        return text.erase(text.find_last_not_of(' ') + 1);
    }

    void put(const std::string &character, int width)
    {
        if (column_ + width > columns_) {  // the wrap held back at the margin
            column_ = 0;
            line_feed();
        }
        cells_[row_][column_] = character;
        if (width == 2)
            cells_[row_][column_ + 1] = "";
        column_ += width;
    }

    void line_feed()
    {
        if (row_ + 1 < rows_) {
            ++row_;
            return;
        }
        scrolled_.push_back(text_of(cells_.front()));
        cells_.erase(cells_.begin());
        cells_.push_back(blank());
    }

    void control(unsigned char c)
    {
        if (c == '\r')
            column_ = 0;
        else if (c == '\n')
            line_feed();
        else if (c == '\b')
            column_ = std::max(0, std::min(column_, columns_ - 1) - 1);
    }

    // The sequence after ESC at `at`; returns where the next one begins.
    size_t escape(std::string_view s, size_t at)
    {
        if (at >= s.size())
            return at;
        if (s[at] == ']') {  // an operating system command, up to BEL
            size_t end = s.find('\a', at);
            return end == std::string_view::npos ? s.size() : end + 1;
        }
        if (s[at] != '[')
            return at + 1;
        size_t end = s.find_first_not_of("0123456789;?<>=", at + 1);
        if (end == std::string_view::npos)
            return s.size();
        std::string_view params = s.substr(at + 1, end - at - 1);
        int n = params.empty() || params[0] == '?' ? 1 : std::max(1, atoi(std::string(params).c_str()));
        int zero_or_n = params.empty() ? 0 : atoi(std::string(params).c_str());
        column_ = std::min(column_, columns_ - 1);
        switch (s[end]) {
        case 'A': row_ = std::max(0, row_ - n); break;
        case 'B': row_ = std::min(rows_ - 1, row_ + n); break;
        case 'C': column_ = std::min(columns_ - 1, column_ + n); break;
        case 'D': column_ = std::max(0, column_ - n); break;
        case 'G': column_ = std::min(columns_, n) - 1; break;
        case 'H': {
            int row = 1, column = 1;
            sscanf(std::string(params).c_str(), "%d;%d", &row, &column);
            row_ = std::clamp(row, 1, rows_) - 1, column_ = std::clamp(column, 1, columns_) - 1;
            break;
        }
        case 'K':
            if (zero_or_n == 0)
                std::fill(cells_[row_].begin() + column_, cells_[row_].end(), " ");
            break;
        case 'J':
            if (zero_or_n == 0) {
                std::fill(cells_[row_].begin() + column_, cells_[row_].end(), " ");
                for (int r = row_ + 1; r < rows_; ++r)
                    cells_[r] = blank();
            } else if (zero_or_n == 2) {
                for (Row &row : cells_)
                    row = blank();
            }
            break;
        case 'P':
            cells_[row_].erase(cells_[row_].begin() + column_,
                               cells_[row_].begin() + std::min(columns_, column_ + n));
            cells_[row_].resize(columns_, " ");
            break;
        case '@':
            cells_[row_].insert(cells_[row_].begin() + column_, n, " ");
            cells_[row_].resize(columns_);
            break;
        default: break;  // colours and modes
        }
        return end + 1;
    }

    int rows_, columns_;
    int row_ = 0, column_ = 0;
    std::vector<Row> cells_;
    std::vector<std::string> scrolled_;
};

}  // namespace chat_test
