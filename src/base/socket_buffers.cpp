// The send queue and the bounded receive buffer of every socket.
#include "base/socket_buffers.hpp"

#include <algorithm>
#include <limits>

#include "base/secret.hpp"

namespace tolvex {

SendQueue::SendQueue(std::size_t chunkBytes) : chunkBytes_(std::max<std::size_t>(chunkBytes, 16)) {}

void SendQueue::PushText(std::string text) {
  Item item;
  item.text = std::move(text);
  items_.push_back(std::move(item));
}

void SendQueue::PushSource(ByteSource& source) {
  Item item;
  item.source = &source;
  items_.push_back(std::move(item));
}

void SendQueue::CompleteFront() {
  // A command text may carry credentials (AUTH): no copy outlives its send.
  WipeString(items_.front().text);
  items_.pop_front();
  pos_ = 0;
  chunkSize_ = 0;
  ++completed_;
}

std::string_view SendQueue::Pending() {
  while (!items_.empty() && !failed_) {
    Item& front = items_.front();
    if (front.source == nullptr) {
      if (pos_ < front.text.size()) return std::string_view(front.text).substr(pos_);
      CompleteFront();
      continue;
    }
    if (pos_ < chunkSize_) return std::string_view(chunk_.data() + pos_, chunkSize_ - pos_);
    if (front.source->Done()) {
      CompleteFront();
      continue;
    }
    if (chunk_.size() != chunkBytes_) chunk_.resize(chunkBytes_);
    chunkSize_ = front.source->Fill(chunk_.data(), chunk_.size());
    pos_ = 0;
    if (chunkSize_ == 0 && front.source->Failed()) failed_ = true;
  }
  return {};
}

void SendQueue::Consume(std::size_t n) {
  pos_ += n;
  accepted_ += n;
}

int SendQueue::TakeCompleted() {
  // A finished item is noticed by Pending; look once more so a completion
  // is not held back until the next send.
  Pending();
  const int n = completed_;
  completed_ = 0;
  return n;
}

void SendQueue::Clear() {
  for (Item& item : items_) WipeString(item.text);
  items_.clear();
  pos_ = 0;
  chunkSize_ = 0;
  completed_ = 0;
  failed_ = false;
  accepted_ = 0;
}

void ReceiveBuffer::Append(std::string_view bytes) {
  if (start_ > 0 && start_ >= data_.size() / 2) {
    data_.erase(0, start_);
    start_ = 0;
  }
  data_.append(bytes);
}

std::int32_t ReceiveBuffer::WaitingCount() const {
  return static_cast<std::int32_t>(
      std::min<std::size_t>(Waiting(), std::numeric_limits<std::int32_t>::max()));
}

void ReceiveBuffer::Take(std::string& out, std::int32_t maxBytes) {
  const std::size_t n = maxBytes <= 0 ? 0 : std::min(Waiting(), static_cast<std::size_t>(maxBytes));
  out.assign(data_, start_, n);
  start_ += n;
  if (start_ == data_.size()) {
    data_.clear();
    start_ = 0;
  }
}

void ReceiveBuffer::Clear() {
  data_.clear();
  start_ = 0;
}

std::string HostForResolver(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

}  // namespace tolvex
