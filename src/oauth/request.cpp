#include "oauth/request.hpp"

namespace tolvex::oauth {
namespace {

template <class Reply, class Parse>
EndpointAnswer<Reply> Request(Https& https, std::string_view what, const std::string& url,
                              const std::string& caPem, Secret& form, const SecretRegistry& known,
                              const ProxySettings* proxy, Parse parse) {
  HttpsRequest request;
  request.url = url;
  request.form = &form;
  request.caPem = caPem;
  request.proxy = proxy;
  HttpsReply reply = https.PostForm(request);
  form.Wipe();
  EndpointAnswer<Reply> answer;
  if (!reply.done) {
    answer.failure = RequestFailure{
        std::string(what) + " to " + url + " failed: " + Printable(known.Masked(reply.error)),
        reply.lasting, reply.cancelled};
    return answer;
  }
  answer.status = reply.status;
  answer.reply = parse(reply.status, reply.body.View(), known);
  reply.body.Wipe();
  return answer;
}

}  // namespace

EndpointAnswer<TokenReply> RequestToken(Https& https, const std::string& url,
                                        const std::string& caPem, Secret& form,
                                        const SecretRegistry& known, const ProxySettings* proxy) {
  return Request<TokenReply>(https, "token request", url, caPem, form, known, proxy,
                             ParseTokenReply);
}

EndpointAnswer<DeviceCode> RequestDeviceCode(Https& https, const std::string& url,
                                             const std::string& caPem, Secret& form,
                                             const SecretRegistry& known,
                                             const ProxySettings* proxy) {
  return Request<DeviceCode>(https, "device code request", url, caPem, form, known, proxy,
                             ParseDeviceCode);
}

}  // namespace tolvex::oauth
