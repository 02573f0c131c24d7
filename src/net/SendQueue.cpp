#include "net/SendQueue.h"

#include "net/SocketCalls.h"

#include <cerrno>

namespace {

// Small sends queued one after another share a chunk, so a slow peer fed
// many short texts does not cost one allocation per send.
constexpr std::size_t ChunkCoalesceBytes = 64 * 1024;

} // namespace

void SendQueue::Append(const char* bytes, std::size_t count)
{
    if (!chunks_.empty() && chunks_.back().size() < ChunkCoalesceBytes) {
        chunks_.back().append(bytes, count);
    } else {
        chunks_.emplace_back(bytes, count);
    }
    bytes_ += count;
}

void SendQueue::Append(std::string&& bytes)
{
    if (bytes.size() < ChunkCoalesceBytes || (!chunks_.empty() && chunks_.back().size() < ChunkCoalesceBytes)) {
        Append(bytes.data(), bytes.size());
        return;
    }
    bytes_ += bytes.size();
    chunks_.push_back(std::move(bytes));
}

int SendQueue::Flush(int fd)
{
    while (bytes_ > 0) {
        const std::string& chunk = chunks_.front();
        const ssize_t n = SocketCalls::Send(fd, chunk.data() + head_, chunk.size() - head_);
        if (n < 0) return errno;
        head_ += static_cast<std::size_t>(n);
        bytes_ -= static_cast<std::size_t>(n);
        if (head_ == chunk.size()) {
            chunks_.pop_front();
            head_ = 0;
        }
    }
    return 0;
}

void SendQueue::Clear()
{
    chunks_.clear();
    head_ = bytes_ = 0;
}
