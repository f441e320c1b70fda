// The one thread that reads the archive for every session, so that the
// gateway's event loop never waits for SQLite: jobs go into a queue, the
// worker runs them one at a time on its read-only connection, and each job
// posts its result back to the loop itself. The database is opened by the
// worker when it is first needed, and again after it could not be.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "archive/store.hpp"

namespace chat_web {

class ArchiveWorker {
public:
    // A job gets the connection, or nullptr and why it cannot be opened.
    using Job = std::function<void(chat::archive::Reader *reader, const std::string &why)>;

    explicit ArchiveWorker(std::string path);
    // Runs no more jobs after the one running, and joins the thread.
    ~ArchiveWorker();
    ArchiveWorker(const ArchiveWorker &) = delete;
    ArchiveWorker &operator=(const ArchiveWorker &) = delete;

    void submit(Job job);

private:
    void run();

    std::string path_;
    std::unique_ptr<chat::archive::Reader> reader_;  // the worker's own
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace chat_web
