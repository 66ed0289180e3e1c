#include "smtp/failover.hpp"

namespace tolvex {

bool FailsOver(const DeliveryEnd& end) {
  return end.Temporary() && end.step != SmtpStep::OAUTH_TOKEN && end.step != SmtpStep::API_REQUEST;
}

const std::string* HostCursor::After(const DeliveryEnd& end,
                                     const std::vector<std::string>& hosts) {
  if (FailsOver(end) && index_ + 1 < hosts.size()) return &hosts[++index_];
  index_ = 0;
  return nullptr;
}

}  // namespace tolvex
