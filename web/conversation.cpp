// A conversation's steps carried out: the connection to the chat server,
// the history read in tries that never wait, the timers for the idle
// warning and for a page that went away.
#include "conversation.hpp"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "archive_ask.hpp"
#include "i18n/i18n.hpp"

namespace chat_web {

void Fd::reset(int fd)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

std::shared_ptr<Conversation> Conversations::with_token(std::string_view token, std::string_view origin,
                                                        const Conversation *except) const
{
    for (Conversation *c : all)
        if (c != except && !c->ended() && c->session().token_matches(token, origin))
            return c->shared_from_this();
    return nullptr;
}

void Conversations::detached_from(const std::string &address)
{
    size_t count = 0;
    Conversation *oldest = nullptr;
    for (Conversation *c : detached)
        if (c->held_address() == address && count++ == 0)
            oldest = c;
    if (oldest && count > static_cast<size_t>(limits.detached_per_address_max))
        oldest->end();  // the server posts its logout, as when its window passes
}

Conversation::Conversation(asio::any_io_executor executor, Conversations &all, std::string origin)
    : executor_(executor), server_(executor), history_timer_(executor), resume_timer_(executor),
      idle_timer_(executor), place_timer_(executor), all_(all),
      session_(all.codec, all.limits, !all.history.empty(), std::move(origin))
{
    session_.set_room(all.room);
    if (all_.archive)
        session_.use_archive();
    listed_ = all_.all.insert(all_.all.end(), this);
    session_.set_verified_posts(&all_.verified_posts);
}

Conversation::~Conversation()
{
    all_.all.erase(listed_);
    uncount();
}

void Conversation::uncount()
{
    if (listed_detached_) {
        all_.detached.erase(*listed_detached_);
        listed_detached_.reset();
    }
    held_place_.release();
    if (counted_)
        --all_.sessions;
    counted_ = false;
}

void Conversation::apply(Actions a, std::optional<steady::time_point> read_at)
{
    if (ended_)
        return;
    if (a.connect)
        connect_server();
    if (!a.to_server.empty())
        write_server(std::move(a.to_server));
    auto page = page_.lock();
    if (!a.to_page.empty() && page && !page->send_events(page_batch(a.to_page), read_at)) {
        end();  // a browser that does not read: let it go
        return;
    }
    if (a.drop_server) {
        ++generation_;  // what the closed connection still reports is stale
        error_code ignored;
        server_.close(ignored);
        server_out_.clear();
    }
    if (a.close_code != 0 && page)
        page->close_page(a.close_code);
    if (a.read_history)
        start_history_read();
    for (const auto &ask : a.archive)
        ask_archive(ask);
    if (a.place) {
        auto deadline = steady::now() + std::chrono::milliseconds(all_.limits.place_wait_ms);
        place_run(std::move(*a.place), deadline);
    }
    if (session_.detached() && !session_.logged_in()) {
        end();  // over while no page was there
        return;
    }
    arm_idle();
}

// The page went without logging out: a logged-in session waits for
// another page, anything else is over.
void Conversation::page_gone(PageEnd *page)
{
    if (ended_ || page_.lock().get() != page)
        return;
    page_.reset();
    if (!session_.detach()) {
        end();
        return;
    }
    idle_timer_.cancel();
    idle_due_.reset();
    held_address_ = page->client_address();
    held_place_ = page->hand_over_place();
    counted_ = true;
    ++all_.sessions;
    listed_detached_ = all_.detached.insert(all_.detached.end(), this);
    resume_timer_.expires_after(std::chrono::seconds(all_.limits.resume_seconds));
    resume_timer_.async_wait([self = shared_from_this(), g = ++resume_generation_](error_code ec) {
        if (!ec && g == self->resume_generation_ && self->session_.detached())
            self->end();  // the server posts the logout notice
    });
    all_.detached_from(held_address_);
}

void Conversation::take_over(const std::shared_ptr<PageEnd> &page, uint64_t after)
{
    page_ = page;
    ++resume_generation_;
    resume_timer_.cancel();
    uncount();
    apply(session_.resume(after, steady::now()));
}

// Everything is dropped: the server connection (the server then posts the
// logout notice), the timers, the place, and a page still there.
void Conversation::end()
{
    if (ended_)
        return;
    ended_ = true;
    ++generation_;
    ++history_generation_;
    ++resume_generation_;
    error_code ignored;
    server_.close(ignored);
    server_out_.clear();
    history_timer_.cancel();
    history_fd_.reset();
    resume_timer_.cancel();
    idle_timer_.cancel();
    place_timer_.cancel();
    uncount();
    if (auto page = page_.lock()) {
        page_.reset();
        page->let_page_go();
    }
}

// The idle warning's timer, moved whenever its time changes; none while
// no page is there (a page that comes back is warned at once if due).
void Conversation::arm_idle()
{
    auto due = session_.detached() ? std::nullopt : session_.idle_warning_at();
    if (due == idle_due_)
        return;
    idle_due_ = due;
    if (!due) {
        idle_timer_.cancel();
        return;
    }
    idle_timer_.expires_at(*due);
    idle_timer_.async_wait([self = shared_from_this(), at = *due](error_code ec) {
        if (ec || self->idle_due_ != at)
            return;
        self->idle_due_.reset();
        self->apply(self->session_.idle_check(steady::now()));
    });
}

// The history is read in tries that never wait for its lock, each on
// this session's own timer, so that a lock held elsewhere delays only
// the logins that read it and never the gateway's one thread.
void Conversation::start_history_read()
{
    ++history_generation_;
    history_fd_.reset();
    history_deadline_ = steady::now() + std::chrono::milliseconds(all_.limits.history_wait_ms);
    try_history_after(std::chrono::milliseconds(0));
}

void Conversation::try_history_after(std::chrono::milliseconds delay)
{
    history_timer_.expires_after(delay);
    history_timer_.async_wait([self = shared_from_this(), g = history_generation_](error_code ec) {
        if (!ec && g == self->history_generation_ && !self->ended_)
            self->try_history();
    });
}

void Conversation::try_history()
{
    const std::string &path = all_.history;
    if (history_fd_.get() < 0) {
        history_fd_.reset(chat::open_history(path.c_str()));
        if (history_fd_.get() < 0) {
            history_done(std::nullopt, chat::history_read_problem(chat::HistoryStatus::failed, errno));
            return;
        }
    }
    std::vector<chat::HistoryRecord> records;
    auto status = chat::read_history(history_fd_.get(), records, 0);
    int error = errno;
    if (status == chat::HistoryStatus::locked && steady::now() < history_deadline_) {
        try_history_after(std::chrono::milliseconds(5));
        return;
    }
    history_fd_.reset();
    if (status == chat::HistoryStatus::ok || status == chat::HistoryStatus::too_short)
        history_done(std::move(records), "");
    else
        history_done(std::nullopt, chat::history_read_problem(status, error));
}

void Conversation::history_done(std::optional<std::vector<chat::HistoryRecord>> records, const std::string &problem)
{
    if (!problem.empty())
        fprintf(stderr, _("chat_web: cannot read the history %s: %s; this session starts without earlier records\n"),
                all_.history.c_str(), problem.c_str());
    apply(session_.history_read(std::move(records)));
}

void Conversation::connect_server()
{
    error_code ignored;
    server_.close(ignored);
    server_ = tcp::socket(executor_);
    server_out_.clear();
    ++generation_;
    server_.async_connect(all_.server, [self = shared_from_this(), g = generation_](error_code ec) {
        if (g != self->generation_ || self->ended_)
            return;
        if (ec) {
            self->apply(self->session_.server_unreachable());
            return;
        }
        self->server_.set_option(tcp::no_delay(true), ec);
        self->apply(self->session_.server_connected());
        self->read_server();
    });
}

void Conversation::read_server()
{
    server_.async_read_some(asio::buffer(server_in_), [self = shared_from_this(), g = generation_](error_code ec, size_t n) {
        if (g != self->generation_ || self->ended_)
            return;
        if (ec) {
            self->apply(self->session_.server_closed());
            return;
        }
        auto at = steady::now();
        self->apply(self->session_.server_bytes(std::string_view(self->server_in_.data(), n)), at);
        self->read_server();
    });
}

void Conversation::write_server(std::string bytes)
{
    server_out_.push_back(std::move(bytes));
    if (server_out_.size() == 1)
        write_server_front();
}

void Conversation::write_server_front()
{
    if (server_out_.empty() || !server_.is_open())
        return;
    asio::async_write(server_, asio::buffer(server_out_.front()),
                      [self = shared_from_this(), g = generation_](error_code ec, size_t) {
                          if (g != self->generation_ || ec)
                              return;  // the read side reports the loss
                          self->server_out_.pop_front();
                          self->write_server_front();
                      });
}

}  // namespace chat_web

namespace chat_web {

// The question runs on the archive's worker; the answer comes back to the
// loop, to a conversation still there.
void Conversation::ask_archive(const ArchiveAsk &ask)
{
    chat::archive::Budget budget(all_.limits.archive_budget_ms);
    all_.archive->submit([ask, budget, self = weak_from_this(), ex = executor_](chat::archive::Reader *reader,
                                                                                 const std::string &) {
        ArchiveAnswer answer;
        if (reader)
            answer = answer_question(*reader, ask, budget);
        else
            answer = {ask.kind, ask.id, {}, false, true, ask.row, ask.text};
        asio::post(ex, [self, answer = std::move(answer)] {
            if (auto c = self.lock(); c && !c->ended_)
                c->apply(c->session_.archive_answered(answer));
        });
    });
}

// A run is looked for on the worker; while the archive has not caught up
// with it, it is looked for again after a while on this conversation's
// timer, up to the deadline, and then taken as far as it was found.
void Conversation::place_run(RunToPlace run, steady::time_point deadline)
{
    chat::archive::Budget budget(all_.limits.archive_budget_ms);
    auto job = [run = std::move(run), deadline, budget, self = weak_from_this(),
                ex = executor_](chat::archive::Reader *reader, const std::string &) mutable {
        RunPlace place;
        if (reader)
            place = find_run(*reader, run.texts, run.last, budget);
        asio::post(ex, [self, run = std::move(run), place = std::move(place), deadline]() mutable {
            auto c = self.lock();
            if (!c || c->ended_)
                return;
            if (!place.complete && steady::now() < deadline) {
                c->place_timer_.expires_after(std::chrono::milliseconds(c->all_.limits.place_retry_ms));
                c->place_timer_.async_wait([c, run = std::move(run), deadline](error_code ec) mutable {
                    if (!ec && !c->ended_)
                        c->place_run(std::move(run), deadline);
                });
                return;
            }
            RunFound found {place.complete, place.ids, {}, place.more, place.last};
            for (const auto &row : place.dropped)
                found.dropped.push_back(page_row(row));
            c->apply(c->session_.run_placed(run, found));
        });
    };
    all_.archive->submit(std::move(job));
}

}  // namespace chat_web
