#include "platform/posix/https.hpp"

#include <curl/curl.h>
#include <dlfcn.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <utility>
#include <vector>

#include "base/ascii.hpp"

namespace tolvex::posix {
namespace {

// libcurl is opened on the first request, not linked: a run without OAuth
// then maps none of the libraries it pulls in (LDAP, Kerberos, SSH, ...),
// which would more than double the program's resident memory.
// clang-format off
#define TOLVEX_CURL_FUNCTIONS(X) \
  X(curl_global_init) \
  X(curl_easy_init) \
  X(curl_easy_setopt) \
  X(curl_easy_perform) \
  X(curl_easy_getinfo) \
  X(curl_easy_cleanup) \
  X(curl_easy_strerror) \
  X(curl_slist_append) \
  X(curl_slist_free_all) \
  X(curl_multi_init) \
  X(curl_multi_cleanup) \
  X(curl_multi_add_handle) \
  X(curl_multi_remove_handle) \
  X(curl_multi_perform) \
  X(curl_multi_info_read) \
  X(curl_multi_poll)
// clang-format on

struct CurlApi {
#define TOLVEX_CURL_MEMBER(f) decltype(&::f) f = nullptr;
  TOLVEX_CURL_FUNCTIONS(TOLVEX_CURL_MEMBER)
#undef TOLVEX_CURL_MEMBER
  std::string error;  // why the library cannot be used; "" when it can
};

constexpr const char* kCurlLibrary = "libcurl.so.4";

CurlApi LoadCurl() {
  CurlApi api;
  void* lib = ::dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    api.error = std::string("libcurl (libcurl.so.4) cannot be loaded: ") + ::dlerror();
    return api;
  }
#define TOLVEX_CURL_BIND(f)                                    \
  api.f = reinterpret_cast<decltype(api.f)>(::dlsym(lib, #f)); \
  if (!api.f) api.error = "libcurl (libcurl.so.4) has no " #f;
  TOLVEX_CURL_FUNCTIONS(TOLVEX_CURL_BIND)
#undef TOLVEX_CURL_BIND
  // Once, before any handle.
  if (api.error.empty() && api.curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    api.error = "libcurl could not start";
  }
  return api;
}

// The library, loaded once for the process.
const CurlApi& Curl() {
  static const CurlApi api = LoadCurl();
  return api;
}

// Bodies larger than this are not token replies.
constexpr std::size_t kMaxBody = 1024 * 1024;

struct Transfer {
  HttpsReply* reply;
  ByteSource* body = nullptr;  // what a call uploads
  bool tooLarge = false;
  bool sourceFailed = false;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  if (t->reply->body.Size() + n > kMaxBody) {
    t->tooLarge = true;
    return 0;
  }
  t->reply->body.Append(std::string_view(data, n));
  return n;
}

// The upload's next bytes from the call's source.
std::size_t Produce(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  if (t->body->Done()) return 0;
  const std::size_t n = t->body->Fill(data, size * count);
  if (n == 0 && t->body->Failed()) {
    t->sourceFailed = true;
    return CURL_READFUNC_ABORT;
  }
  return n;
}

// Keeps the Retry-After header of the final reply.
std::size_t CollectHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  std::string_view line(data, n);
  constexpr std::string_view kName = "retry-after:";
  if (line.size() > kName.size() && SameAscii(line.substr(0, kName.size()), kName)) {
    line.remove_prefix(kName.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) {
      line.remove_suffix(1);
    }
    t->reply->retryAfter = std::string(line.substr(0, 64));
  } else if (line.substr(0, 5) == "HTTP/") {
    t->reply->retryAfter.clear();  // a new reply's head begins
  }
  return n;
}

// Adds the request's PEM certificates to the store curl has already filled
// with the system's.
CURLcode AddCertificates(CURL*, void* sslCtx, void* user) {
  const std::string* pem = static_cast<const std::string*>(user);
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslCtx));
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())), BIO_free);
  if (!bio) return CURLE_OUT_OF_MEMORY;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    X509_STORE_add_cert(store, cert);  // a duplicate is no error here
    X509_free(cert);
  }
  return CURLE_OK;
}

// Failures another attempt will not mend: the URL, the server's
// certificate or TLS version.
bool IsLasting(CURLcode rc) {
  switch (rc) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return true;
    default:
      return false;
  }
}

// The transfer on a multi handle, looked in on at least every kPollMs so
// that a stop (the run ending) gives it up at once, with the same end as
// a transfer aborted by a callback.
CURLcode Perform(CURL* h, const volatile std::sig_atomic_t* stop) {
  constexpr int kPollMs = 50;
  const CurlApi& c = Curl();
  std::unique_ptr<CURLM, decltype(c.curl_multi_cleanup)> multi(c.curl_multi_init(),
                                                               c.curl_multi_cleanup);
  if (!multi || c.curl_multi_add_handle(multi.get(), h) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  CURLcode rc = CURLE_OK;
  for (;;) {
    if (stop && *stop != 0) {
      rc = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    int running = 0;
    if (c.curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      rc = CURLE_RECV_ERROR;
      break;
    }
    if (running == 0) {
      int left = 0;
      const CURLMsg* msg = c.curl_multi_info_read(multi.get(), &left);
      rc = msg && msg->msg == CURLMSG_DONE ? msg->data.result : CURLE_RECV_ERROR;
      break;
    }
    if (c.curl_multi_poll(multi.get(), nullptr, 0, kPollMs, nullptr) != CURLM_OK) {
      rc = CURLE_RECV_ERROR;
      break;
    }
  }
  c.curl_multi_remove_handle(multi.get(), h);
  return rc;
}

// #PRX for one request: through the proxy (a SOCKS5 proxy resolving the
// name itself), or none at all. Without #PRX libcurl follows https_proxy,
// HTTPS_PROXY and no_proxy from the environment, as it does by default.
void ApplyProxy(CURL* h, const ProxySettings* proxy) {
  const CurlApi& c = Curl();
  if (!proxy || proxy->kind == ProxyKind::System) return;
  if (proxy->kind == ProxyKind::None) {
    c.curl_easy_setopt(h, CURLOPT_PROXY, "");
    c.curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    return;
  }
  const std::string url = (proxy->kind == ProxyKind::Http ? "http://" : "socks5h://") +
                          proxy->host + ":" + std::to_string(proxy->port);
  c.curl_easy_setopt(h, CURLOPT_PROXY, url.c_str());  // curl keeps its own copies
  if (!proxy->user.empty()) {
    c.curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, proxy->user.c_str());
    std::string password(proxy->password.View());
    c.curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, password.c_str());
    WipeString(password);
  }
}

}  // namespace

std::string HttpsLibraryVersion() {
  return std::string(kCurlLibrary) + ", opened on first use (built with " LIBCURL_VERSION ")";
}

namespace {

// One handle's request, set up alike for every request (trust, time-outs,
// no redirects): `headers` and the reply's body and headers collected into
// `transfer`. Unset when the library cannot be used.
struct Prepared {
  std::unique_ptr<CURL, void (*)(CURL*)> curl{nullptr, nullptr};
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers{nullptr, nullptr};
  char errorText[CURL_ERROR_SIZE] = {};
};

// Why `url` cannot be asked for at all, or "".
std::string Unusable(const std::string& url, HttpsReply& reply) {
  reply.lasting = true;
  if (!IsHttpsUrl(url)) return "not an https:// URL";
  if (!Curl().error.empty()) return Curl().error;
  reply.lasting = false;
  return {};
}

bool SetUp(const HttpsRequest& request, const std::vector<std::string>& headers, Transfer& transfer,
           Prepared& p) {
  const CurlApi& c = Curl();
  p.curl = {c.curl_easy_init(), c.curl_easy_cleanup};
  if (!p.curl) return false;
  p.headers = {nullptr, c.curl_slist_free_all};
  for (const std::string& line : headers) {
    curl_slist* more = c.curl_slist_append(p.headers.get(), line.c_str());
    if (!more) return false;
    if (!p.headers) p.headers.reset(more);
  }
  CURL* h = p.curl.get();
  c.curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  c.curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
  c.curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  c.curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  c.curl_easy_setopt(h, CURLOPT_ERRORBUFFER, p.errorText);
  c.curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  c.curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  c.curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  c.curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(request.connectSeconds));
  c.curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(request.totalSeconds));
  c.curl_easy_setopt(h, CURLOPT_HTTPHEADER, p.headers.get());
  c.curl_easy_setopt(h, CURLOPT_USERAGENT, "Tolvex");
  c.curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
  c.curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  c.curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, CollectHeader);
  c.curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
  if (!request.caPem.empty()) {
    c.curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, AddCertificates);
    c.curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &request.caPem);
  }
  ApplyProxy(h, request.proxy);
  return true;
}

// The transfer set up in `p`, run to its end: the reply, or why none came.
HttpsReply Finish(Prepared& p, Transfer& transfer, const volatile std::sig_atomic_t* stop) {
  HttpsReply& reply = *transfer.reply;
  const CurlApi& c = Curl();
  const CURLcode rc = Perform(p.curl.get(), stop);
  if (rc != CURLE_OK) {
    reply.body.Wipe();
    reply.cancelled = rc == CURLE_ABORTED_BY_CALLBACK && !transfer.sourceFailed;
    reply.lasting = IsLasting(rc);
    reply.error = reply.cancelled          ? "given up: the run is ending"
                  : transfer.tooLarge      ? "the reply is larger than 1 MiB"
                  : transfer.sourceFailed  ? "the message could not be read"
                  : p.errorText[0] != '\0' ? std::string(p.errorText)
                                           : std::string(c.curl_easy_strerror(rc));
    return std::move(reply);
  }
  c.curl_easy_getinfo(p.curl.get(), CURLINFO_RESPONSE_CODE, &reply.status);
  reply.done = true;
  return std::move(reply);
}

}  // namespace

HttpsReply CurlHttps::PostForm(const HttpsRequest& request) {
  HttpsReply reply;
  reply.error = Unusable(request.url, reply);
  if (!reply.error.empty()) return reply;
  Transfer transfer{&reply};
  Prepared p;
  if (!SetUp(request, {"Accept: application/json"}, transfer, p)) {
    reply.error = "libcurl could not start";
    return reply;
  }
  const CurlApi& c = Curl();
  // The body is sent from the caller's Secret, never copied by curl.
  const std::string_view form = request.form ? request.form->View() : std::string_view();
  c.curl_easy_setopt(p.curl.get(), CURLOPT_POSTFIELDS, form.data());
  c.curl_easy_setopt(p.curl.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(form.size()));
  return Finish(p, transfer, stop_);
}

HttpsReply CurlHttps::Send(const HttpsCall& call) {
  HttpsReply reply;
  reply.error = Unusable(call.target.url, reply);
  if (!reply.error.empty()) return reply;
  std::vector<std::string> headers = call.headers;
  headers.emplace_back("Accept: application/json");
  // An empty "Expect:" keeps curl from waiting for a 100 Continue first.
  headers.emplace_back("Expect:");
  if (call.bearer) {
    Secret line;
    line.Assign("Authorization: Bearer ");
    line.Append(call.bearer->View());
    headers.emplace_back(line.View());
  }
  Transfer transfer{&reply, call.body};
  Prepared p;
  const bool ready = SetUp(call.target, headers, transfer, p);
  if (call.bearer) WipeString(headers.back());
  if (!ready) {
    reply.error = "libcurl could not start";
    return reply;
  }
  const CurlApi& c = Curl();
  CURL* h = p.curl.get();
  c.curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, call.method.c_str());
  if (call.body) {
    c.curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    c.curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(call.bodyLength));
    c.curl_easy_setopt(h, CURLOPT_READFUNCTION, Produce);
    c.curl_easy_setopt(h, CURLOPT_READDATA, &transfer);
  } else {
    c.curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
    c.curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
  }
  return Finish(p, transfer, stop_);
}

}  // namespace tolvex::posix
