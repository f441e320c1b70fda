// The protocol library on its own: the reader's framing, also on
// streams that older servers and damaged files produce, the codec, the
// emoji short codes and where long messages are cut.
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>

#include "json/json.hpp"
#include "wire/codec.hpp"
#include "wire/compose.hpp"
#include "wire/control.hpp"
#include "wire/emoji.hpp"
#include "wire/reader.hpp"
#include "wire/splitter.hpp"
#include "harness.hpp"

using namespace chat_test;

namespace {

// Every event of `stream`, fed in pieces of `step` bytes, as "R:text",
// "E:explanation", "O:line" or "X" for a line cut as too long; the most
// bytes the reader held unread goes to *held when given.
std::vector<std::string> events(std::string_view stream, size_t step, size_t *held = nullptr)
{
    chat::Reader reader;
    std::vector<std::string> out;
    for (size_t at = 0; at < stream.size(); at += step) {
        reader.feed(stream.substr(at, step));
        if (held)
            *held = std::max(*held, reader.pending());
        while (auto e = reader.next())
            out.push_back((e->kind == chat::Event::record     ? "R:" + e->text
                           : e->kind == chat::Event::error    ? "E:" + e->body
                           : e->kind == chat::Event::overlong ? "X"
                                                              : "O:" + e->body));
    }
    return out;
}

}  // namespace

TEST(Wire, ReaderKeepsItsPlaceWhateverTheStreamHolds)
{
    std::string cut = message("001002003", "long", std::string(300, 'x')).substr(0, 255);
    std::string stream = batch({message("001002003", "ann", "END\r\n"), cut,
                                message("001002003", "ann", "next\r\n")}) +
                         error_reply(busy);
    std::vector<std::string> expected = {"R:001002003\tann\tEND", "R:" + cut,
                                         "R:001002003\tann\tnext", "E:" + sjis(::busy)};
    for (size_t step : {size_t {1}, size_t {7}, stream.size()})
        EXPECT_EQ(events(stream, step), expected) << "in pieces of " << step;

    // A record without its line end, as an older server stored it, glued
    // to the END of its batch: the reader picks up again at the next OK or
    // ERR, and at a record whose OK it never saw.
    std::string glued = "OK\r\n" + message("255000000", "mallory", "first") + "END\r\n";
    std::string after = batch({message("001002003", "ann", "hello\r\n")});
    EXPECT_EQ(events(glued + after, 5),
              (std::vector<std::string> {"R:255000000\tmallory\tfirstEND", "R:001002003\tann\thello"}));
    EXPECT_EQ(events(glued + error_reply(busy) + after, 3),
              (std::vector<std::string> {"R:255000000\tmallory\tfirstEND", "E:" + sjis(::busy),
                                         "R:001002003\tann\thello"}));
    EXPECT_EQ(events("garbage\r\n" + message("001002003", "ann", "lost OK\r\n") + "END\r\n", 4),
              (std::vector<std::string> {"O:garbage", "R:001002003\tann\tlost OK"}));

    // A line that never ends is cut at line_max: what it held is read as
    // a line, the rest up to its LF dropped with one notice, and what
    // follows is read again. Fed a byte at a time too, which a reader that
    // searched its whole buffer at every piece would not get through.
    const size_t max = chat::Reader::line_max;
    std::string record = message("001002003", "ann", "after\r\n");
    std::string endless = std::string(1 << 20, 'x') + "\r\n" + batch({record});
    for (size_t step : {size_t {1}, size_t {8192}, endless.size()}) {
        size_t held = 0;
        EXPECT_EQ(events(endless, step, &held),
                  (std::vector<std::string> {"O:" + std::string(max, 'x'), "X", "R:" + record.substr(0, record.size() - 2)}))
            << "in pieces of " << step;
        EXPECT_LE(held, max + 64) << "never the whole line, in pieces of " << step;
    }
    EXPECT_EQ(events(std::string(max, 'x') + "\n" + std::string(max + 1, 'y') + "\n", 1000),
              (std::vector<std::string> {"O:" + std::string(max, 'x'), "O:" + std::string(max, 'y'), "X"}))
        << "a line of line_max bytes is whole; one byte more is cut";
    // Inside a batch the line is read as records cut at 255 bytes, as far
    // as line_max; then the batch goes on.
    std::vector<std::string> in_batch = events("OK\r\n" + std::string(1 << 20, 'y') + "\r\nEND\r\n" + batch({record}), 4096);
    ASSERT_EQ(in_batch.size(), max / 255 + 3);
    EXPECT_EQ(in_batch[0], "O:" + std::string(255, 'y'));
    EXPECT_EQ(in_batch[max / 255], "O:" + std::string(max % 255, 'y'));
    EXPECT_EQ(in_batch[max / 255 + 1], "X");
    EXPECT_EQ(in_batch.back(), "R:" + record.substr(0, record.size() - 2));

    // The colour is read once, with the record: three characters a number.
    chat::Event e = chat::parse_record(message("-05-10007", "ann", "hi\r\n"));
    EXPECT_EQ(e.colour, "-05-10007");
    EXPECT_EQ(std::vector<int>(e.rgb, e.rgb + 3), (std::vector<int> {-5, -10, 7}));
    EXPECT_EQ(e.body, "hi");
}

TEST(Wire, CodecAndNames)
{
    chat::Codec codec;
    ASSERT_TRUE(codec.open("UTF-8"));
    size_t replaced = 0;
    EXPECT_EQ(codec.to_wire("emoji \xf0\x9f\x98\x80 and \xe6\xbc\xa2", &replaced),
              "emoji " + sjis("〓") + " and " + sjis("漢"));
    EXPECT_EQ(replaced, 1u) << "one mark per character, not per byte";
    EXPECT_EQ(codec.to_local(sjis("日本語") + "\xff" + "!"), "日本語\xef\xbf\xbd!");
    EXPECT_EQ(codec.to_local("\x83"), "\xef\xbf\xbd") << "a lead byte without its trail";

    // How a terminal's text is taken apart, by the codeset's name; in any
    // set but UTF-8 and Shift_JIS by the C library, here in the C locale.
    EXPECT_EQ(chat::charset_of("utf8"), chat::Charset::utf8);
    EXPECT_EQ(chat::charset_of("SHIFT_JIS"), chat::Charset::shift_jis);
    EXPECT_EQ(chat::charset_of("ANSI_X3.4-1968"), chat::Charset::locale);
    auto units = [](std::string_view text, chat::Charset set) {
        std::string shown;  // each unit's length, or ? for an unsafe one
        for (size_t at = 0; at < text.size();) {
            chat::TextUnit unit = chat::text_unit(text, at, set);
            shown += unit.safe ? std::to_string(unit.length) : "?";
            at += unit.length;
        }
        return shown;
    };
    EXPECT_EQ(units("a\x1b\xe9", chat::Charset::locale), "1??") << "ESC, and a byte past ASCII";
    EXPECT_EQ(units("\xed\xa0\x80\xf0\x9f\x8e\x89", chat::Charset::utf8), "???4") << "a surrogate, an emoji";

    EXPECT_TRUE(chat::valid_name(sjis("アリス")));
    EXPECT_FALSE(chat::valid_name(sjis("メッセージ"))) << "the system's sender";
    EXPECT_FALSE(chat::valid_name(std::string(31, 'n')));
    EXPECT_FALSE(chat::valid_name("two words"));
    EXPECT_FALSE(chat::valid_name(""));
}

TEST(Wire, EmojiTravelAsShortCodes)
{
    using chat::emoji_to_short_codes, chat::short_codes_to_emoji;
    EXPECT_EQ(emoji_to_short_codes("party 🎉!"), "party :party_popper:!");
    EXPECT_EQ(emoji_to_short_codes("👍🏽 ok"), ":thumbs_up: ok") << "a skin tone goes as its base";
    EXPECT_EQ(emoji_to_short_codes("👩🏽‍💻 and ❤️‍🔥"), ":woman: and :red_heart:") << "a ZWJ sequence as its first";
    EXPECT_EQ(emoji_to_short_codes("❤️ ☆️★♪→♀"), ":red_heart: ☆★♪→♀") << "VS16 dropped, Shift_JIS kept";
    EXPECT_EQ(emoji_to_short_codes("🇯🇵"), "🇯🇵") << "no code: left for the geta mark";
    EXPECT_EQ(short_codes_to_emoji(":party_popper: :no_such_code: 10:30:thumbs_up::"), "🎉 :no_such_code: 10:30👍:");
    EXPECT_EQ(short_codes_to_emoji(":Party_Popper: : party_popper:"), ":Party_Popper: : party_popper:");

    // Every row: an emoji that Shift_JIS cannot hold, and a code of its
    // own that comes back as that emoji and goes on the wire as it is.
    chat::Codec codec;
    ASSERT_TRUE(codec.open("UTF-8"));
    ASSERT_GT(chat::emoji_code_count, 1000u);
    for (size_t i = 0; i < chat::emoji_code_count; ++i) {
        std::string emoji = short_codes_to_emoji(":" + std::string(chat::emoji_codes[i].code) + ":");
        size_t replaced = 0;
        codec.to_wire(emoji, &replaced);
        EXPECT_EQ(replaced, 1u) << chat::emoji_codes[i].code << " has a Shift_JIS form";
        std::string code = emoji_to_short_codes(emoji);
        EXPECT_EQ(code, ":" + std::string(chat::emoji_codes[i].code) + ":");
        EXPECT_EQ(codec.to_wire(code, &replaced), code);
        EXPECT_EQ(short_codes_to_emoji(code), emoji);
    }
}

// Each line of the cases is a text with ✂ where the splitter must cut it
// for posts of `limit` Shift_JIS bytes; the page's tests read them too.
TEST(Wire, SplitterCutsAtSpacesAndPunctuation)
{
    std::ifstream cases(CHAT_SPLIT_CASES);
    const std::string scissors = "✂";
    int count = 0;
    for (std::string line; std::getline(cases, line); ++count) {
        auto object = chat::parse_object(line);
        ASSERT_TRUE(object) << line;
        std::string cut = *chat::get_string(*object, "cut");
        size_t limit = static_cast<size_t>(std::get<double>(object->at("limit")));
        std::vector<std::string> expected;
        std::string text;
        for (size_t at = 0, end;; at = end + scissors.size()) {
            end = cut.find(scissors, at);
            expected.push_back(sjis(cut.substr(at, end - at)));
            text += cut.substr(at, end - at);
            if (end == std::string::npos)
                break;
        }
        EXPECT_EQ(chat::split_message(sjis(text), limit), expected) << *chat::get_string(*object, "case");
    }
    EXPECT_GE(count, 10);
}
