// The archive's worker thread: a queue, a condition variable, and the
// read-only connection, which only this thread touches.
#include "archive_worker.hpp"

namespace chat_web {

ArchiveWorker::ArchiveWorker(std::string path) : path_(std::move(path)), thread_([this] { run(); }) {}

ArchiveWorker::~ArchiveWorker()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_one();
    thread_.join();
}

void ArchiveWorker::submit(Job job)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void ArchiveWorker::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_)
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        std::string why;
        if (!reader_)
            reader_ = chat::archive::Reader::open(path_, &why);
        job(reader_.get(), why);
    }
}

}  // namespace chat_web
