// A token endpoint in memory: each request takes the next scripted reply
// (a transport failure when none is left) and is kept for inspection.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/https.hpp"

namespace tolvex::test {

class ScriptedHttps final : public Https {
 public:
  HttpsReply PostForm(const HttpsRequest& request) override {
    urls.push_back(request.url);
    forms.emplace_back(request.form ? request.form->View() : std::string_view());
    caPems.push_back(request.caPem);
    if (onRequest) onRequest();
    if (replies.empty()) return Failed("no reply scripted");
    HttpsReply r = std::move(replies.front());
    replies.pop_front();
    return r;
  }

  static HttpsReply Reply(long status, std::string_view body) {
    HttpsReply r;
    r.done = true;
    r.status = status;
    r.body.Assign(body);
    return r;
  }
  // A transport failure: no connection, a time-out, a refused certificate
  // (`lasting`), or the request given up as the run ends (`cancelled`).
  static HttpsReply Failed(std::string error, bool lasting = false, bool cancelled = false) {
    HttpsReply r;
    r.error = std::move(error);
    r.lasting = lasting;
    r.cancelled = cancelled;
    return r;
  }

  std::deque<HttpsReply> replies;
  std::vector<std::string> urls;
  std::vector<std::string> forms;
  std::vector<std::string> caPems;
  std::function<void()> onRequest;  // runs inside each request, before its reply
};

}  // namespace tolvex::test
