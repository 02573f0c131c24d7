// SendQueue: bytes a connection accepted for sending that its socket has not
// taken yet, kept in order. Owned by a TCustomWinSocket; not thread-safe.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

class SendQueue {
public:
    std::size_t Bytes() const { return bytes_; }
    bool Empty() const { return bytes_ == 0; }
    void Append(const char* bytes, std::size_t count);
    // Takes `bytes` over whole where they would not share a chunk.
    void Append(std::string&& bytes);
    // Sends from the front as long as `fd` takes data. Returns 0 when the
    // queue is empty, else the errno that stopped it (EAGAIN included).
    int Flush(int fd);
    void Clear();

private:
    std::deque<std::string> chunks_;
    std::size_t head_ = 0;  // bytes of the front chunk already sent
    std::size_t bytes_ = 0;
};
