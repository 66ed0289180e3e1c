// Run control's side of a backup server: a session to one host of #HOS's
// list that failed for the time being is made again to the next at once.
// Its record is in LOG.txt already; the failure is reported, not judged:
// only the pass's last end counts for retries, kept mail and the exit
// status. Every session Form1 starts ends through DeliveryEnded, so each
// fails over alike, and the pass that ends leaves the first host ready.
#include <string>

#include "app/form1.hpp"

namespace tolvex {

bool Form1::FailOver(const DeliveryEnd& end) {
  const std::vector<std::string>& hosts = st_.Submit.hosts;
  if (hosts.empty()) return false;
  const std::string* next = hosts_.After(end, hosts);
  if (!next) {
    PointAt(hosts.front());
    return false;
  }
  // Reported, not counted: the run's end goes by the host that follows.
  Failure failure = DeliveryFailure(end);
  failure.message = st_.Submit.host + ": " + failure.message + "; trying " + *next;
  p_.window.ReportFailure(failure);
  PointAt(*next);
  // As a retry's attempt: under OAuth the cached token comes back (the
  // session's end wiped it); a request that fails ends the pass in 105.
  if (!StartAttempt() && st_.MoreInterval == 0) EndProc();
  if (!session_.Running()) {  // it ended there: the next pass begins at the first
    hosts_.Rewind();
    PointAt(hosts.front());
  }
  return true;
}

void Form1::PointAt(const std::string& host) {
  st_.Submit.host = host;
  Connection().SetRemoteHost(host);
  Connection().Tunnel(&st_.Submit.proxy, host, st_.Submit.RemotePort());
}

}  // namespace tolvex
