// A token endpoint or mail API in memory: each request takes the next
// scripted reply (a transport failure when none is left) and is kept for
// inspection; a call's body is drained from its source as a client would.
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

  HttpsReply Send(const HttpsCall& call) override {
    Call kept{call.method,
              call.target.url,
              call.headers,
              std::string(call.bearer ? call.bearer->View() : ""),
              "",
              call.bodyLength,
              call.target.caPem};
    char piece[1000];  // not a multiple of 3 nor of 4: pieces fall mid-group
    while (call.body && !call.body->Done() && !call.body->Failed()) {
      kept.body.append(piece, call.body->Fill(piece, sizeof piece));
    }
    calls.push_back(std::move(kept));
    return PostForm(call.target);
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

  struct Call {
    std::string method, url;
    std::vector<std::string> headers;
    std::string bearer, body;
    std::uint64_t bodyLength;
    std::string caPem;
  };

  std::deque<HttpsReply> replies;
  std::vector<Call> calls;  // Send's calls (each also in urls, forms and caPems)
  std::vector<std::string> urls;
  std::vector<std::string> forms;
  std::vector<std::string> caPems;
  std::function<void()> onRequest;  // runs inside each request, before its reply
};

}  // namespace tolvex::test
