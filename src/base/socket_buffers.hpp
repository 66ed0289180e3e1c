// The buffering every socket implementation shares: the queue of sends
// (commands and streamed messages) handed to the network piece by piece,
// and the bounded store of received bytes that GetData takes from. Written
// once here so the Linux, Windows and test sockets keep one contract.
// Command texts are wiped once sent or dropped: one may hold credentials.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "base/platform.hpp"

namespace tolvex {

class SendQueue {
 public:
  explicit SendQueue(std::size_t chunkBytes = 256 * 1024);

  void PushText(std::string text);
  void PushSource(ByteSource& source);

  // The bytes to hand to the network next: the unsent rest of the front
  // command, or the next chunk of the front stream. Empty when nothing is
  // left to send, or when the front stream has failed (Failed()). Stays
  // valid until the next Consume or Clear.
  std::string_view Pending();
  // `n` bytes of Pending() have been handed to the network.
  void Consume(std::size_t n);
  // Sends completed since the last call; each is one WSOCK_SendComplete.
  int TakeCompleted();

  bool Empty() const { return items_.empty(); }
  bool Failed() const { return failed_; }
  std::uint64_t BytesAccepted() const { return accepted_; }
  // Drops everything queued; the byte count starts again at 0.
  void Clear();
  // Forgets the streams' sources but keeps the buffers a write under way
  // reads; nothing is sent after it, Clear follows.
  void ForgetSources() {
    for (Item& item : items_) item.source = nullptr;
  }

 private:
  struct Item {
    std::string text;
    ByteSource* source = nullptr;
  };
  void CompleteFront();

  std::size_t chunkBytes_;
  std::deque<Item> items_;
  std::vector<char> chunk_;  // the front stream's current piece
  std::size_t chunkSize_ = 0;
  std::size_t pos_ = 0;  // bytes of the front text or chunk already sent
  int completed_ = 0;
  bool failed_ = false;
  std::uint64_t accepted_ = 0;
};

// Received bytes waiting for GetData, kept below a bound: a socket stops
// reading while Full() and resumes once GetData has taken bytes, so a
// flooding server cannot make the program grow.
class ReceiveBuffer {
 public:
  static constexpr std::size_t kDefaultLimit = 64 * 1024;
  explicit ReceiveBuffer(std::size_t limit = kDefaultLimit) : limit_(limit) {}

  void Append(std::string_view bytes);
  std::size_t Waiting() const { return data_.size() - start_; }
  // Room left before the bound.
  std::size_t Room() const { return Waiting() >= limit_ ? 0 : limit_ - Waiting(); }
  bool Full() const { return Room() == 0; }
  // The waiting count as the DataArrival event passes it.
  std::int32_t WaitingCount() const;
  // Replaces `out` with at most `maxBytes` waiting bytes (none for 0 or
  // less) and consumes them.
  void Take(std::string& out, std::int32_t maxBytes);
  void Clear();

 private:
  std::size_t limit_;
  std::string data_;
  std::size_t start_ = 0;
};

// "[::1]" -> "::1": the resolvers want IPv6 literals without brackets.
std::string HostForResolver(const std::string& host);

}  // namespace tolvex
