#include "platform/posix/curl_https.hpp"

#include <curl/curl.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <memory>

namespace tolvex::posix {
namespace {

// Bodies larger than this are not token replies.
constexpr std::size_t kMaxBody = 1024 * 1024;

struct Transfer {
  HttpsReply* reply;
  bool tooLarge = false;
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
  std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)> multi(curl_multi_init(),
                                                              curl_multi_cleanup);
  if (!multi || curl_multi_add_handle(multi.get(), h) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  CURLcode rc = CURLE_OK;
  for (;;) {
    if (stop && *stop != 0) {
      rc = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      rc = CURLE_RECV_ERROR;
      break;
    }
    if (running == 0) {
      int left = 0;
      const CURLMsg* msg = curl_multi_info_read(multi.get(), &left);
      rc = msg && msg->msg == CURLMSG_DONE ? msg->data.result : CURLE_RECV_ERROR;
      break;
    }
    if (curl_multi_poll(multi.get(), nullptr, 0, kPollMs, nullptr) != CURLM_OK) {
      rc = CURLE_RECV_ERROR;
      break;
    }
  }
  curl_multi_remove_handle(multi.get(), h);
  return rc;
}

}  // namespace

HttpsReply CurlHttps::PostForm(const HttpsRequest& request) {
  HttpsReply reply;
  if (!IsHttpsUrl(request.url)) {
    reply.error = "not an https:// URL";
    reply.lasting = true;
    return reply;
  }
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    reply.error = "libcurl could not start";
    return reply;
  }
  CURL* h = curl.get();
  Transfer transfer{&reply};
  char errorText[CURL_ERROR_SIZE] = {};
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
      curl_slist_append(nullptr, "Accept: application/json"), curl_slist_free_all);
  const std::string_view form = request.form ? request.form->View() : std::string_view();
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(request.connectSeconds));
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(request.totalSeconds));
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Tolvex");
  // The body is sent from the caller's Secret, never copied by curl.
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, form.data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(form.size()));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  if (!request.caPem.empty()) {
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, AddCertificates);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &request.caPem);
  }
  const CURLcode rc = Perform(h, stop_);
  if (rc != CURLE_OK) {
    reply.body.Wipe();
    reply.cancelled = rc == CURLE_ABORTED_BY_CALLBACK;
    reply.lasting = IsLasting(rc);
    reply.error = reply.cancelled        ? "given up: the run is ending"
                  : transfer.tooLarge    ? "the reply is larger than 1 MiB"
                  : errorText[0] != '\0' ? std::string(errorText)
                                         : std::string(curl_easy_strerror(rc));
    return reply;
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply.status);
  reply.done = true;
  return reply;
}

std::int64_t CurlHttps::NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace tolvex::posix
