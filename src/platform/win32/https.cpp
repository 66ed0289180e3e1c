#include "platform/win32/https.hpp"

#include <windows.h>
// after windows.h
#include <winhttp.h>

#include <memory>
#include <string>

#include "platform/win32/cert_check.hpp"
#include "platform/win32/win_text.hpp"

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

HttpsReply Exchange(const HttpsRequest& request) {
  HttpsReply reply;
  if (!IsHttpsUrl(request.url)) {
    reply.error = "not an https:// URL";
    reply.lasting = true;
    return reply;
  }
  std::wstring url = WideFromCp932(request.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts) || parts.nScheme != INTERNET_SCHEME_HTTPS) {
    reply.error = "not an https:// URL";
    reply.lasting = true;
    return reply;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  Internet session(WinHttpOpen(L"Tolvex", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) {
    reply.error = Why("WinHttpOpen");
    return reply;
  }
  const int connectMs = request.connectSeconds * 1000;
  const int totalMs = request.totalSeconds * 1000;
  WinHttpSetTimeouts(session.get(), connectMs, connectMs, totalMs, totalMs);
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                        sizeof protocols)) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;  // systems without TLS 1.3
    WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  }
  Internet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) {
    reply.error = Why("WinHttpConnect");
    return reply;
  }
  Internet req(WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr,
                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                  WINHTTP_FLAG_SECURE));
  if (!req) {
    reply.error = Why("WinHttpOpenRequest");
    return reply;
  }
  // On the request too, and the wait for the reply's head by its own
  // option: some WinHTTP versions leave that one unbounded otherwise.
  WinHttpSetTimeouts(req.get(), connectMs, connectMs, totalMs, totalMs);
  DWORD responseMs = static_cast<DWORD>(totalMs);
  WinHttpSetOption(req.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMs,
                   sizeof responseMs);
  DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(req.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
  // The chain and the name are checked below, by the code the SMTP
  // connection uses (it knows the #CAF certificates and IP subjectAltNames),
  // before a byte of the body goes out.
  DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  WinHttpSetOption(req.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);

  const std::string_view form = request.form ? request.form->View() : std::string_view();
  const wchar_t* headers =
      L"Content-Type: application/x-www-form-urlencoded\r\nAccept: application/json\r\n";
  if (!WinHttpSendRequest(req.get(), headers, static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0,
                          static_cast<DWORD>(form.size()), 0)) {
    reply.error = Why("sending the request");
    return reply;
  }
  PCCERT_CONTEXT raw = nullptr;
  DWORD size = sizeof raw;
  if (!WinHttpQueryOption(req.get(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || !raw) {
    reply.error = "the server sent no certificate";
    return reply;
  }
  std::unique_ptr<const CERT_CONTEXT, CertFree> cert(raw);
  CaStore extra;
  if (!request.caPem.empty()) {
    if (std::string why = extra.LoadPem(request.caPem, "#CAF"); !why.empty()) {
      reply.error = why;
      reply.lasting = true;
      return reply;
    }
  }
  std::wstring name = host;
  if (name.size() > 2 && name.front() == L'[' && name.back() == L']') {
    name = name.substr(1, name.size() - 2);
  }
  if (std::string why = VerifyServerCertificate(cert.get(), extra, name); !why.empty()) {
    reply.error = why;
    reply.lasting = true;
    return reply;
  }
  DWORD written = 0;
  if (!form.empty() &&
      (!WinHttpWriteData(req.get(), form.data(), static_cast<DWORD>(form.size()), &written) ||
       written != form.size())) {
    reply.error = Why("sending the request body");
    return reply;
  }
  if (!WinHttpReceiveResponse(req.get(), nullptr)) {
    reply.error = Why("waiting for the reply");
    return reply;
  }
  DWORD status = 0;
  size = sizeof status;
  WinHttpQueryHeaders(req.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
  char buffer[4096];
  for (;;) {
    DWORD got = 0;
    if (!WinHttpReadData(req.get(), buffer, sizeof buffer, &got)) {
      reply.body.Wipe();
      reply.error = Why("reading the reply");
      return reply;
    }
    if (got == 0) break;
    if (reply.body.Size() + got > kMaxBody) {
      reply.body.Wipe();
      reply.error = "the reply is larger than 1 MiB";
      return reply;
    }
    reply.body.Append(std::string_view(buffer, got));
  }
  WipeBytes(buffer, sizeof buffer);
  reply.status = static_cast<long>(status);
  reply.done = true;
  return reply;
}

// One request on a thread of its own, with copies of what it needs: when
// the caller gives it up, the thread ends on its own time (or with the
// process) and touches nothing of the caller's.
struct Job {
  HttpsRequest request;
  Secret form;
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

}  // namespace tolvex::win
