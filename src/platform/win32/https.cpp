#include "platform/win32/https.hpp"

#include <windows.h>
// after windows.h
#include <winhttp.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/win32/cert_check.hpp"
#include "platform/win32/win_text.hpp"
#include "proxy/system_proxy.hpp"

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

namespace tolvex::win {
namespace {

constexpr DWORD kMaxBody = 1024 * 1024;

struct InternetCloser {
  void operator()(HINTERNET h) const {
    if (h) WinHttpCloseHandle(h);
  }
};
using Internet = std::unique_ptr<void, InternetCloser>;

struct CertFree {
  void operator()(PCCERT_CONTEXT c) const {
    if (c) CertFreeCertificateContext(c);
  }
};

std::string Why(const char* what) {
  const DWORD code = GetLastError();
  // Wine reports the socket's own time-out (WSAETIMEDOUT, 10060).
  if (code == ERROR_WINHTTP_TIMEOUT || code == 10060) return std::string(what) + ": timed out";
  return std::string(what) + " failed (WinHTTP error " + std::to_string(code) + ")";
}

// A failed request: `why`, and whether trying again cannot help.
HttpsReply Failed(std::string why, bool lasting = false) {
  HttpsReply reply;
  reply.error = std::move(why);
  reply.lasting = lasting;
  return reply;
}

// Where an https:// URL points.
struct Target {
  std::wstring host;  // as written, an IPv6 address in brackets
  std::wstring path;  // with the query
  INTERNET_PORT port = 0;
};

std::optional<Target> TargetOf(const std::string& cp932Url) {
  if (!IsHttpsUrl(cp932Url)) return std::nullopt;
  const std::wstring url = WideFromCp932(cp932Url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS) {
    return std::nullopt;
  }
  Target t{std::wstring(parts.lpszHostName, parts.dwHostNameLength),
           std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength), parts.nPort};
  t.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (t.path.empty()) t.path = L"/";
  return t;
}

// A string WinHTTP allocated, taken and freed.
std::wstring Take(LPWSTR text) {
  if (!text) return {};
  std::wstring taken(text);
  GlobalFree(text);
  return taken;
}

// No #PRX (or a SOCKS5 one, which WinHTTP cannot use): the user's proxy
// settings, looked up automatically (WPAD, PAC) for `url` when they say
// so; with none, WinHTTP's own default.
void UseSystemProxy(HINTERNET session, HINTERNET req, const std::wstring& url) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&ie)) return;
  const UserProxySettings user{ie.fAutoDetect != FALSE, Take(ie.lpszAutoConfigUrl),
                               Take(ie.lpszProxy), Take(ie.lpszProxyBypass)};
  std::optional<FoundProxy> found;
  if (WantsAutoProxy(user)) {
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (user.autoDetect) {
      options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
      options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!user.autoConfigUrl.empty()) {
      options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
      options.lpszAutoConfigUrl = user.autoConfigUrl.c_str();
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (WinHttpGetProxyForUrl(session, url.c_str(), &options, &info)) {
      found = FoundProxy{info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY, Take(info.lpszProxy),
                         Take(info.lpszProxyBypass)};
    }
  }
  ProxyChoice choice = ChooseSystemProxy(user, found);
  if (choice.kind == ProxyChoice::Kind::Default) return;
  WINHTTP_PROXY_INFO use{};
  use.dwAccessType = choice.kind == ProxyChoice::Kind::Direct ? WINHTTP_ACCESS_TYPE_NO_PROXY
                                                              : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  if (!choice.proxy.empty()) use.lpszProxy = choice.proxy.data();
  if (!choice.bypass.empty()) use.lpszProxyBypass = choice.bypass.data();
  WinHttpSetOption(req, WINHTTP_OPTION_PROXY, &use, sizeof use);
}

// #PRX's user and password for the HTTP proxy, sent with the CONNECT.
void UseProxyCredentials(HINTERNET req, const ProxySettings& proxy) {
  const std::wstring user = WideFromCp932(proxy.user);
  std::wstring password = WideFromCp932(proxy.password.View());
  WinHttpSetOption(req, WINHTTP_OPTION_PROXY_USERNAME, const_cast<wchar_t*>(user.c_str()),
                   static_cast<DWORD>(user.size()));
  WinHttpSetOption(req, WINHTTP_OPTION_PROXY_PASSWORD, password.data(),
                   static_cast<DWORD>(password.size()));
  WinHttpSetCredentials(req, WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_BASIC, user.c_str(),
                        password.c_str(), nullptr);
  SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
}

// The session, the connection and the POST request on it, each bounded by
// the request's limits, TLS 1.2 or later, no redirect followed.
struct Handles {
  Internet session, connection, request;
};

std::string OpenRequest(const Target& target, const HttpsRequest& request, const wchar_t* method,
                        Handles& h) {
  // #PRX: an HTTP proxy by name, or none at all.
  const ProxySettings* proxy = request.proxy;
  const bool named = proxy && proxy->kind == ProxyKind::Http;
  const bool direct = proxy && proxy->kind == ProxyKind::None;
  const std::wstring proxyName =
      named ? WideFromCp932(proxy->host + ":" + std::to_string(proxy->port)) : std::wstring();
  h.session.reset(WinHttpOpen(L"Tolvex",
                              named    ? WINHTTP_ACCESS_TYPE_NAMED_PROXY
                              : direct ? WINHTTP_ACCESS_TYPE_NO_PROXY
                                       : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                              named ? proxyName.c_str() : WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0));
  if (!h.session) return Why("WinHttpOpen");
  const int connectMs = request.connectSeconds * 1000;
  const int totalMs = request.totalSeconds * 1000;
  WinHttpSetTimeouts(h.session.get(), connectMs, connectMs, totalMs, totalMs);
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!WinHttpSetOption(h.session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                        sizeof protocols)) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;  // systems without TLS 1.3
    WinHttpSetOption(h.session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                     sizeof protocols);
  }
  h.connection.reset(WinHttpConnect(h.session.get(), target.host.c_str(), target.port, 0));
  if (!h.connection) return Why("WinHttpConnect");
  h.request.reset(WinHttpOpenRequest(h.connection.get(), method, target.path.c_str(), nullptr,
                                     WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     WINHTTP_FLAG_SECURE));
  if (!h.request) return Why("WinHttpOpenRequest");
  HINTERNET req = h.request.get();
  if (named && !proxy->user.empty()) {
    UseProxyCredentials(req, *proxy);
  } else if (!named && !direct) {
    UseSystemProxy(h.session.get(), req, WideFromCp932(request.url));
  }
  // On the request too, and the wait for the reply's head by its own
  // option: some WinHTTP versions leave that one unbounded otherwise.
  WinHttpSetTimeouts(req, connectMs, connectMs, totalMs, totalMs);
  DWORD responseMs = static_cast<DWORD>(totalMs);
  WinHttpSetOption(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs, sizeof responseMs);
  DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(req, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
  // The chain and the name are checked by PeerRefused, by the code the SMTP
  // connection uses (it knows the #CAF certificates and IP subjectAltNames),
  // before a byte of the body goes out.
  DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  WinHttpSetOption(req, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
  return {};
}

// The failure when the server's certificate is not trusted for `host`.
std::optional<HttpsReply> PeerRefused(HINTERNET req, const std::wstring& host,
                                      const std::string& caPem) {
  PCCERT_CONTEXT raw = nullptr;
  DWORD size = sizeof raw;
  if (!WinHttpQueryOption(req, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || !raw) {
    return Failed("the server sent no certificate");
  }
  std::unique_ptr<const CERT_CONTEXT, CertFree> cert(raw);
  CaStore extra;
  if (!caPem.empty()) {
    if (std::string why = extra.LoadPem(caPem, "#CAF"); !why.empty()) return Failed(why, true);
  }
  std::wstring name = host;
  if (name.size() > 2 && name.front() == L'[' && name.back() == L']') {
    name = name.substr(1, name.size() - 2);
  }
  if (std::string why = VerifyServerCertificate(cert.get(), extra, name); !why.empty()) {
    return Failed(why, true);
  }
  return std::nullopt;
}

// The reply's status and body (at most kMaxBody), or why not.
HttpsReply ReadReply(HINTERNET req) {
  HttpsReply reply;
  if (!WinHttpReceiveResponse(req, nullptr)) return Failed(Why("waiting for the reply"));
  DWORD status = 0;
  DWORD size = sizeof status;
  WinHttpQueryHeaders(req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!WinHttpReadData(req, buffer, sizeof buffer, &got)) {
      reply.body.Wipe();
      return Failed(Why("reading the reply"));
    }
    if (got == 0) break;
    if (reply.body.Size() + got > kMaxBody) {
      reply.body.Wipe();
      return Failed("the reply is larger than 1 MiB");
    }
    reply.body.Append(std::string_view(buffer, got));
  }
  WipeBytes(buffer, sizeof buffer);
  wchar_t retryAfter[64] = {};
  DWORD retrySize = sizeof retryAfter;
  if (WinHttpQueryHeaders(req, WINHTTP_QUERY_RETRY_AFTER, WINHTTP_HEADER_NAME_BY_INDEX, retryAfter,
                          &retrySize, WINHTTP_NO_HEADER_INDEX)) {
    reply.retryAfter = Cp932FromWide(retryAfter);
  }
  reply.status = static_cast<long>(status);
  reply.done = true;
  return reply;
}

HttpsReply Exchange(const HttpsRequest& request) {
  const std::optional<Target> target = TargetOf(request.url);
  if (!target) return Failed("not an https:// URL", true);
  Handles h;
  if (std::string why = OpenRequest(*target, request, L"POST", h); !why.empty()) return Failed(why);
  HINTERNET req = h.request.get();
  const std::string_view form = request.form ? request.form->View() : std::string_view();
  const wchar_t* headers =
      L"Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n";
  if (!WinHttpSendRequest(req, headers, static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0,
                          static_cast<DWORD>(form.size()), 0)) {
    return Failed(Why("sending the request"));
  }
  if (auto refused = PeerRefused(req, target->host, request.caPem)) return std::move(*refused);
  DWORD written = 0;
  if (!form.empty() &&
      (!WinHttpWriteData(req, form.data(), static_cast<DWORD>(form.size()), &written) ||
       written != form.size())) {
    return Failed(Why("sending the request body"));
  }
  return ReadReply(req);
}

// An API call: its headers, then the body from its source in pieces
// (looking at `stop` between them), then the reply.
HttpsReply CallExchange(const HttpsCall& call, const std::function<bool()>& stop) {
  const std::optional<Target> target = TargetOf(call.target.url);
  if (!target) return Failed("not an https:// URL", true);
  Handles h;
  const std::wstring method = WideFromCp932(call.method);
  if (std::string why = OpenRequest(*target, call.target, method.c_str(), h); !why.empty()) {
    return Failed(why);
  }
  HINTERNET req = h.request.get();
  std::wstring headers = L"Accept: application/json\r\n";
  for (const std::string& line : call.headers) headers += WideFromCp932(line) + L"\r\n";
  if (call.bearer) {
    headers += L"Authorization: Bearer " + WideFromCp932(call.bearer->View()) + L"\r\n";
  }
  const BOOL sent =
      WinHttpSendRequest(req, headers.c_str(), static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0,
                         static_cast<DWORD>(call.bodyLength), 0);
  WipeBytes(headers.data(), headers.size() * sizeof(wchar_t));
  if (!sent) return Failed(Why("sending the request"));
  if (auto refused = PeerRefused(req, target->host, call.target.caPem)) return std::move(*refused);
  std::string piece(64 * 1024, '\0');
  while (call.body && !call.body->Done()) {
    if (stop && stop()) {
      HttpsReply reply = Failed("given up: the run is ending");
      reply.cancelled = true;
      return reply;
    }
    const std::size_t n = call.body->Fill(piece.data(), piece.size());
    if (n == 0) {
      if (call.body->Failed()) return Failed("the message could not be read");
      continue;
    }
    DWORD written = 0;
    if (!WinHttpWriteData(req, piece.data(), static_cast<DWORD>(n), &written) || written != n) {
      return Failed(Why("sending the request body"));
    }
  }
  return ReadReply(req);
}

// One request on a thread of its own, with copies of what it needs: when
// the caller gives it up, the thread ends on its own time (or with the
// process) and touches nothing of the caller's.
struct Job {
  HttpsRequest request;
  Secret form;
  ProxySettings proxy;
  HttpsReply reply;
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~Job() {
    if (done) CloseHandle(done);
  }
};

DWORD WINAPI RunJob(void* param) {
  std::unique_ptr<std::shared_ptr<Job>> job(static_cast<std::shared_ptr<Job>*>(param));
  (*job)->reply = Exchange((*job)->request);
  SetEvent((*job)->done);
  return 0;
}

}  // namespace

HttpsReply WinHttps::PostForm(const HttpsRequest& request) {
  if (!stop_) return Exchange(request);
  auto job = std::make_shared<Job>();
  job->request = request;
  if (request.form) job->form = *request.form;
  job->request.form = &job->form;
  if (request.proxy) {
    job->proxy = *request.proxy;
    job->request.proxy = &job->proxy;
  }
  auto* param = new std::shared_ptr<Job>(job);
  HANDLE thread = job->done ? CreateThread(nullptr, 0, RunJob, param, 0, nullptr) : nullptr;
  if (!thread) {
    delete param;
    return Exchange(request);
  }
  CloseHandle(thread);
  constexpr DWORD kLookMs = 50;
  while (WaitForSingleObject(job->done, kLookMs) == WAIT_TIMEOUT) {
    if (stop_()) {
      HttpsReply reply;
      reply.cancelled = true;
      reply.error = "given up: the run is ending";
      return reply;
    }
  }
  return std::move(job->reply);
}

// The call runs on the caller's thread: its body comes from the caller's
// source, which a thread left running must not touch. The run's end is
// looked at between the body's pieces; the reply is bounded by the
// request's time-outs.
HttpsReply WinHttps::Send(const HttpsCall& call) { return CallExchange(call, stop_); }

}  // namespace tolvex::win
