#include "portal.h"

#include <nlohmann/json.hpp>
#include <optional>

#include "envelope.h"
#include "pages.h"
#include "pages_pfx.h"
#include "pages_envelope.h"
#include "pages_card.h"
#include "pages_update.h"
#include "verify.h"

namespace velmora::demo {

namespace {

http::Response jsonAnswer(int status, const nlohmann::json& body) {
  http::Response res;
  res.status = status;
  res.contentType = "application/json";
  res.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return res;
}

http::Response refuse(int status, const std::string& why) { return jsonAnswer(status, {{"error", why}}); }

// The checks both endpoints make first: a POST, the CA there, a body of
// bounded size that is a JSON object. The refusal, or nullopt with `body` set.
std::optional<http::Response> jsonPost(const PortalConfig& config, const http::Request& req, nlohmann::json& body) {
  if (req.method != "POST") {
    auto res = refuse(405, "use POST");
    res.headers["Allow"] = "POST";
    return res;
  }
  if (!config.ca) return refuse(503, "the demo CA is not available");
  if (req.body.size() > kMaxEnrolBody) return refuse(413, "the request body is too large");
  body = nlohmann::json::parse(req.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) return refuse(400, "the body is not a JSON object");
  return std::nullopt;
}

http::Response enrol(const PortalConfig& config, const http::Request& req) {
  nlohmann::json body;
  if (auto refused = jsonPost(config, req, body)) return *refused;
  auto request = body.find("request");
  auto usageName = body.find("usage");
  if (request == body.end() || !request->is_string()) return refuse(400, "\"request\" (Base64 PKCS#10) is missing");
  if (usageName == body.end() || !usageName->is_string()) return refuse(400, "\"usage\" is missing");
  auto usage = parseUsage(usageName->get<std::string>());
  if (!usage) return refuse(400, "\"usage\" must be \"signing\" or \"encryption\"");
  auto result = config.ca->issue(request->get<std::string>(), *usage);
  if (auto* no = std::get_if<Refusal>(&result)) return refuse(400, no->message);
  const auto& issued = std::get<Issued>(result);
  if (config.log) config.log("issued " + issued.serial + " to " + issued.subject + " for " + usageName->get<std::string>());
  return jsonAnswer(200, {{"pkcs7", issued.pkcs7},
                          {"certificate", issued.certificate},
                          {"subject", issued.subject},
                          {"serial", issued.serial},
                          {"usage", usageName->get<std::string>()}});
}

std::optional<std::string> textField(const nlohmann::json& body, const char* name) {
  auto it = body.find(name);
  if (it == body.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

// POST /api/verify: the portal checks what the page signed.
http::Response verify(const PortalConfig& config, const http::Request& req) {
  nlohmann::json body;
  if (auto refused = jsonPost(config, req, body)) return *refused;
  const auto format = textField(body, "format");
  const auto signature = textField(body, "signature");
  if (!format || (*format != "pkcs7" && *format != "pkcs1"))
    return refuse(400, "\"format\" must be \"pkcs7\" or \"pkcs1\"");
  if (!signature || signature->empty()) return refuse(400, "\"signature\" is missing");
  const std::string bytesName = textField(body, "bytes").value_or("utf-16le");
  if (bytesName != "utf-16le" && bytesName != "ansi") return refuse(400, "\"bytes\" must be \"utf-16le\" or \"ansi\"");
  const TextBytes bytes = bytesName == "ansi" ? TextBytes::Ansi : TextBytes::Utf16le;
  std::variant<SignedText, Refusal> result;
  if (*format == "pkcs7") {
    result = verifyPkcs7(*config.ca, *signature, textField(body, "content"), bytes);
  } else {
    Pkcs1Input in;
    in.signature = *signature;
    in.base64 = textField(body, "form").value_or("hex") == "base64";
    in.providerOrder = body.value("providerOrder", false);
    const auto certificate = textField(body, "certificate");
    const auto content = textField(body, "content");
    if (!certificate || !content) return refuse(400, "a PKCS#1 signature needs \"certificate\" and \"content\"");
    in.certificate = *certificate;
    in.content = *content;
    in.bytes = bytes;
    in.digest = textField(body, "digest").value_or("sha256");
    result = verifyPkcs1(*config.ca, in);
  }
  if (auto* no = std::get_if<Refusal>(&result)) return refuse(400, no->message);
  const auto& v = std::get<SignedText>(result);
  if (config.log) config.log("verified a " + *format + " signature by " + v.signer);
  return jsonAnswer(200, {{"valid", true},
                          {"signer", v.signer},
                          {"serial", v.serial},
                          {"issuer", v.issuer},
                          {"chain", v.chain},
                          {"content", v.content},
                          {"digest", v.digest},
                          {"detached", v.detached},
                          {"certificates", v.certificates},
                          {"signingTimes", v.signingTimes},
                          {"signingTime", v.signingTime}});
}

// POST /api/envelope: the portal encrypts a text for the page's certificate.
http::Response envelope(const PortalConfig& config, const http::Request& req) {
  nlohmann::json body;
  if (auto refused = jsonPost(config, req, body)) return *refused;
  const auto certificate = textField(body, "certificate");
  const auto text = textField(body, "text");
  if (!certificate || certificate->empty()) return refuse(400, "\"certificate\" is missing");
  if (!text || text->empty()) return refuse(400, "\"text\" is missing");
  const std::string bytesName = textField(body, "bytes").value_or("utf-16le");
  if (bytesName != "utf-16le" && bytesName != "ansi") return refuse(400, "\"bytes\" must be \"utf-16le\" or \"ansi\"");
  auto result = encryptFor(*config.ca, *certificate, *text, textField(body, "cipher").value_or("des3"),
                           bytesName == "ansi" ? TextBytes::Ansi : TextBytes::Utf16le);
  if (auto* no = std::get_if<Refusal>(&result)) return refuse(400, no->message);
  const auto& e = std::get<Envelope>(result);
  if (config.log) config.log("encrypted a text (" + e.cipher + ") for " + e.recipient);
  return jsonAnswer(200, {{"message", e.message}, {"recipient", e.recipient}, {"cipher", e.cipher}});
}

}  // namespace

http::Response handleRequest(const PortalConfig& config, const http::Request& req) {
  if (auto update = updateRoute(config.publisherKeyPem, req)) return *update;
  http::Response res;
  if (req.path == "/" || req.path == "/fenroCore/client/home") {
    res.body = kHomePage;
  } else if (req.path == "/frame") {
    res.body = kFramePage;
  } else if (req.path == "/enrol") {
    res.body = kEnrolPage;
  } else if (req.path == "/api/enrol") {
    return enrol(config, req);
  } else if (req.path == "/sign") {
    res.body = kSignPage;
  } else if (req.path == "/pfx") {
    res.body = kPfxPage;
  } else if (req.path == "/api/verify") {
    return verify(config, req);
  } else if (req.path == "/envelope") {
    res.body = kEnvelopePage;
  } else if (req.path == "/api/envelope") {
    return envelope(config, req);
  } else if (req.path == "/card") {
    res.body = kCardPage;
  } else if (req.path == "/velmora-bridge.js") {
    res.contentType = "text/javascript";
    res.body = config.script;
  } else {
    res.status = 404;
    res.body = "<!DOCTYPE html><title>404</title><p>Not found";
  }
  return res;
}

}  // namespace velmora::demo
