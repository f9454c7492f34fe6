#include "tools/backend-sim/Backend.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "mord/json/Json.h"
#include "sov/base/Text.h"

namespace {

std::unique_ptr<Json::Value> ParseText(const std::string& text, const char* what) {
  const char* cursor = text.c_str();
  std::unique_ptr<Json::Value> value = Json::parseValue(cursor);
  if (!value) throw std::runtime_error(std::string(what) + " is not valid JSON");
  return value;
}

const Json::Object& RequireObject(const Json::Value* value, const char* what) {
  const auto* object = Json::As<Json::Object>(value);
  if (object == nullptr) throw std::runtime_error(std::string(what) + " must be an object");
  return *object;
}

std::string StringMember(const Json::Object& object, const char* key, const std::string& fallback = {}) {
  const auto* s = Json::As<Json::String>(object.Find(key));
  return s ? s->Get() : fallback;
}

std::vector<std::string> StringList(const Json::Value* value, const char* what) {
  std::vector<std::string> out;
  if (value == nullptr) return out;
  const auto* array = Json::As<Json::Array>(value);
  if (array == nullptr) throw std::runtime_error(std::string(what) + " must be an array of strings");
  for (const auto& item : array->Items()) {
    const auto* s = Json::As<Json::String>(item.get());
    if (s == nullptr) throw std::runtime_error(std::string(what) + " must be an array of strings");
    out.push_back(s->Get());
  }
  return out;
}

std::vector<Rule> ParseRules(const Json::Value* value) {
  std::vector<Rule> rules;
  if (value == nullptr) return rules;
  const auto* array = Json::As<Json::Array>(value);
  if (array == nullptr) throw std::runtime_error("\"rules\" must be an array");
  for (const auto& item : array->Items()) {
    const Json::Object& o = RequireObject(item.get(), "a rule");
    Rule rule;
    rule.method = StringMember(o, "method");
    rule.path = StringMember(o, "path");
    if (rule.path.empty()) throw std::runtime_error("a rule needs a \"path\"");
    if (const auto* n = Json::As<Json::Number>(o.Find("status"))) rule.status = static_cast<int>(n->Get());
    if (const auto* s = Json::As<Json::String>(o.Find("body"))) rule.body = s->Get();
    if (const auto* n = Json::As<Json::Number>(o.Find("body_size")))
      rule.bodySize = static_cast<std::size_t>(std::max(0.0, n->Get()));
    if (const auto* n = Json::As<Json::Number>(o.Find("times"))) rule.times = static_cast<int>(n->Get());
    if (const auto* n = Json::As<Json::Number>(o.Find("delay_ms"))) rule.delayMs = static_cast<int>(n->Get());
    if (const auto* b = Json::As<Json::Boolean>(o.Find("pass"))) rule.passThrough = b->Get();
    if (const auto* h = Json::As<Json::Object>(o.Find("headers"))) {
      for (const auto& [name, v] : h->Items()) {
        const auto* s = Json::As<Json::String>(v.get());
        if (s == nullptr) throw std::runtime_error("rule headers must be strings");
        rule.headers.emplace_back(name, s->Get());
      }
    }
    rules.push_back(std::move(rule));
  }
  return rules;
}

bool RuleMatches(const Rule& rule, const SimRequest& request) {
  if (!rule.method.empty() && rule.method != "*" && rule.method != request.method) return false;
  if (!rule.path.empty() && rule.path.back() == '*') {
    const std::string prefix = rule.path.substr(0, rule.path.size() - 1);
    return request.target.compare(0, prefix.size(), prefix) == 0;
  }
  return rule.path == request.target || rule.path == request.path;
}

std::string HeaderValue(const SimRequest& request, const std::string& name, bool* present = nullptr) {
  for (const auto& [key, value] : request.headers) {
    if (text::EqualsNoCase(key, name)) {
      if (present) *present = true;
      return value;
    }
  }
  if (present) *present = false;
  return {};
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

SimResponse Json200(std::string body) {
  return SimResponse{200, std::move(body), {}, 0};
}
SimResponse Error(int status, const std::string& text) {
  return SimResponse{status, "{\"error\": " + JsonQuote(text) + "}", {}, 0};
}

std::string SessionTokenJson(const std::string& sessionId, const std::string& token) {
  return "{\"sessionId\": " + JsonQuote(sessionId) + ", \"token\": " + JsonQuote(token) + "}";
}

}  // namespace

std::string JsonQuote(const std::string& s) {
  std::ostringstream out;
  Json::writeString(s, out);
  return out.str();
}

std::string Backend::DemoScenario() {
  return R"({
  "tokens": ["demo-token"],
  "renewals": {"expired-token": "demo-token"},
  "products": {"demo-product": "Demo Game"},
  "stream_key": "demo-stream-key",
  "sessions": {
    "5e55a0f1-0000-4000-8000-000000000001": {
      "status": "NEW",
      "product_id": "demo-product",
      "endpoints": [
        {"uuid": "e0000000-0000-4000-8000-000000000001", "server_id": "station-1", "ip": "127.0.0.1",
         "base_port": 7985, "priority": 1, "city": "Loopback"}
      ]
    }
  }
})";
}

void Backend::LoadScenario(const std::string& json) {
  std::unique_ptr<Json::Value> root = ParseText(json, "the scenario");
  const Json::Object& o = RequireObject(root.get(), "the scenario");

  std::vector<std::string> tokens = StringList(o.Find("tokens"), "\"tokens\"");
  std::map<std::string, std::string> renewals;
  if (const Json::Value* v = o.Find("renewals")) {
    for (const auto& [from, to] : RequireObject(v, "\"renewals\"").Items()) {
      const auto* s = Json::As<Json::String>(to.get());
      if (s == nullptr) throw std::runtime_error("\"renewals\" values must be strings");
      renewals[from] = s->Get();
    }
  }
  std::map<std::string, std::string> products;
  if (const Json::Value* v = o.Find("products")) {
    for (const auto& [id, title] : RequireObject(v, "\"products\"").Items()) {
      const auto* s = Json::As<Json::String>(title.get());
      if (s == nullptr) throw std::runtime_error("\"products\" values must be strings");
      products[id] = s->Get();
    }
  }
  std::map<std::string, SimSession> sessions;
  if (const Json::Value* v = o.Find("sessions")) {
    for (const auto& [id, value] : RequireObject(v, "\"sessions\"").Items()) {
      const Json::Object& so = RequireObject(value.get(), "a session");
      SimSession session;
      session.status = StringMember(so, "status", "NEW");
      session.productId = StringMember(so, "product_id");
      if (const Json::Value* e = so.Find("endpoints")) {
        if (Json::As<Json::Array>(e) == nullptr)
          throw std::runtime_error("session endpoints must be an array");
        session.endpointsJson = Json::toText(e);
      }
      session.sessionTokens = StringList(so.Find("session_tokens"), "\"session_tokens\"");
      sessions[id] = std::move(session);
    }
  }
  std::vector<Rule> rules = ParseRules(o.Find("rules"));

  std::lock_guard<std::mutex> lock(mutex_);
  tokens_ = std::move(tokens);
  renewals_ = std::move(renewals);
  products_ = std::move(products);
  sessions_ = std::move(sessions);
  streamKey_ = StringMember(o, "stream_key");
  rules_ = std::move(rules);
}

void Backend::AddRules(const std::string& json) {
  std::unique_ptr<Json::Value> root = ParseText(json, "the rules");
  std::vector<Rule> rules = ParseRules(root.get());
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.insert(rules_.end(), std::make_move_iterator(rules.begin()), std::make_move_iterator(rules.end()));
}

std::string Backend::StateJson() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream out;
  out << "{\"requests\": " << requestCount_ << ", \"tokens\": [";
  for (std::size_t i = 0; i < tokens_.size(); ++i) out << (i ? ", " : "") << JsonQuote(tokens_[i]);
  out << "], \"sessions\": {";
  bool first = true;
  for (const auto& [id, s] : sessions_) {
    out << (first ? "" : ", ") << JsonQuote(id) << ": {\"status\": " << JsonQuote(s.status)
        << ", \"abort_comment\": " << JsonQuote(s.abortComment) << ", \"session_tokens\": [";
    for (std::size_t i = 0; i < s.sessionTokens.size(); ++i)
      out << (i ? ", " : "") << JsonQuote(s.sessionTokens[i]);
    out << "]}";
    first = false;
  }
  out << "}, \"rules_left\": [";
  for (std::size_t i = 0; i < rules_.size(); ++i) out << (i ? ", " : "") << rules_[i].times;
  out << "]}";
  return out.str();
}

SimResponse Backend::Handle(const SimRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint64_t seq = ++requestCount_;
  SimResponse response = HandleLocked(request);
  bool hasId = false;
  for (const auto& [name, value] : response.headers) hasId = hasId || name == "X-Request-ID";
  if (!hasId) response.headers.emplace_back("X-Request-ID", "sim-" + std::to_string(seq));
  return response;
}

bool Backend::Authorized(const SimRequest& request) const {
  if (tokens_.empty()) return true;
  const std::string token = HeaderValue(request, "X-Auth-Token");
  return std::find(tokens_.begin(), tokens_.end(), token) != tokens_.end();
}

SimResponse Backend::HandleLocked(const SimRequest& request) {
  int delayMs = 0;
  for (Rule& rule : rules_) {
    if (rule.times == 0 || !RuleMatches(rule, request)) continue;
    if (rule.times > 0) --rule.times;
    if (rule.passThrough) {
      delayMs = rule.delayMs;
      break;
    }
    SimResponse scripted;
    scripted.status = rule.status;
    scripted.body = rule.body ? *rule.body : std::string(rule.bodySize, 'x');
    scripted.headers = rule.headers;
    scripted.delayMs = rule.delayMs;
    return scripted;
  }

  SimResponse response;
  const std::string& p = request.path;
  auto under = [&p](const char* prefix) { return p.rfind(prefix, 0) == 0; };
  const bool needsToken =
      under("/session-manager/") || under("/server-manager/") || p == "/settings/getusermetaplain";
  if (needsToken && !Authorized(request)) {
    response = Error(401, "token not accepted");
  } else if (under("/session-manager/")) {
    response = SessionManager(request, p.substr(std::string("/session-manager").size()));
  } else if (under("/server-manager/")) {
    response = ServerManager(request, p.substr(std::string("/server-manager").size()));
  } else if (under("/token-verifier/")) {
    response = TokenVerifier(request, p.substr(std::string("/token-verifier").size()));
  } else if (under("/settings/")) {
    response = Settings(request, p.substr(std::string("/settings").size()));
  } else if (p == "/play") {
    response = PlayPage(request);
  } else {
    response = Error(404, "no such service");
  }
  response.delayMs = delayMs;
  return response;
}

SimResponse Backend::SessionManager(const SimRequest& request, const std::string& rest) {
  const std::vector<std::string> parts = Split(rest);  // "", kind, id, ...
  if (parts.size() < 3) return Error(404, "no such call");
  const std::string& kind = parts[1];
  const std::string& id = parts[2];
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return Error(404, "no such session");
  SimSession& session = it->second;
  const std::string& method = request.method;

  if (kind == "endpoints" && parts.size() == 3) {
    if (method != "GET") return Error(405, "method not allowed");
    return Json200("{\"status\": " + JsonQuote(session.status) + ", \"endpoints\": " + session.endpointsJson +
                   "}");
  }
  if (kind == "copy" && parts.size() == 3) {
    if (method != "POST") return Error(405, "method not allowed");
    char newId[40];
    std::snprintf(newId, sizeof(newId), "c0b1e5e5-0000-4000-8000-%012d", ++copies_);
    SimSession copy = session;
    copy.status = "NEW";
    copy.sessionTokens.clear();
    copy.abortComment.clear();
    sessions_[newId] = std::move(copy);
    return Json200(std::string("{\"uuid\": ") + JsonQuote(newId) + "}");
  }
  if (kind != "sessions") return Error(404, "no such call");
  if (parts.size() == 3) {
    if (method != "GET") return Error(405, "method not allowed");
    std::string item = "{\"uuid\": " + JsonQuote(id) + ", \"status\": " + JsonQuote(session.status);
    if (!session.productId.empty()) item += ", \"product_id\": " + JsonQuote(session.productId);
    return Json200("{\"sessions\": [" + item + "}]}");
  }
  if (method != "PUT") return Error(405, "method not allowed");
  const std::string& action = parts[3];
  if (action == "start_handshake" && parts.size() == 5 && !parts[4].empty()) {
    if (session.status != "NEW") return Error(409, "session is " + session.status);
    session.status = "HANDSHAKE";
  } else if (parts.size() != 4) {
    return Error(404, "no such call");
  } else if (action == "activate") {
    session.status = "ACTIVE";
  } else if (action == "register_client_heartbeat") {
    // Nothing to change; the request log is what tests look at.
  } else if (action == "abort") {
    const char* cursor = request.body.c_str();
    std::unique_ptr<Json::Value> body = Json::parseValue(cursor);
    const auto* o = Json::As<Json::Object>(body.get());
    const auto* comment = o ? Json::As<Json::String>(o->Find("abort_comment")) : nullptr;
    if (comment == nullptr) return Error(400, "abort needs an abort_comment");
    session.status = "ABORTED";
    session.abortComment = comment->Get();
  } else if (action == "stop") {
    session.status = "STOPPED";
  } else {
    return Error(404, "no such call");
  }
  return Json200("{\"status\": " + JsonQuote(session.status) + "}");
}

SimResponse Backend::ServerManager(const SimRequest& request, const std::string& rest) {
  const std::vector<std::string> parts = Split(rest);
  if (parts.size() == 2 && parts[1] == "sessiontoken") {
    auto sid = request.params.find("sessionId");
    if (sid == request.params.end()) return Error(400, "sessionId missing");
    auto it = sessions_.find(sid->second);
    if (it == sessions_.end()) return Error(404, "no such session");
    auto token = request.params.find("token");
    if (request.method == "POST") {
      if (token == request.params.end() || token->second.empty()) return Error(400, "token missing");
      it->second.sessionTokens.push_back(token->second);
      return Json200(SessionTokenJson(sid->second, token->second));
    }
    if (request.method != "GET") return Error(405, "method not allowed");
    std::string list = "[";
    for (std::size_t i = 0; i < it->second.sessionTokens.size(); ++i)
      list += (i ? ", " : "") + SessionTokenJson(sid->second, it->second.sessionTokens[i]);
    return Json200(list + "]");
  }
  if (parts.size() == 4 && parts[1] == "product" && parts[2] == "get") {
    if (request.method != "GET") return Error(405, "method not allowed");
    auto it = products_.find(parts[3]);
    if (it == products_.end()) return Error(404, "no such product");
    return Json200("{\"title\": " + JsonQuote(it->second) + "}");
  }
  return Error(404, "no such call");
}

SimResponse Backend::TokenVerifier(const SimRequest& request, const std::string& rest) {
  if (rest != "/renewProxyToken") return Error(404, "no such call");
  if (request.method != "POST") return Error(405, "method not allowed");
  const char* cursor = request.body.c_str();
  std::unique_ptr<Json::Value> body = Json::parseValue(cursor);
  const auto* o = Json::As<Json::Object>(body.get());
  const auto* old = o ? Json::As<Json::String>(o->Find("proxy_token")) : nullptr;
  if (old == nullptr) return Error(400, "proxy_token missing");
  auto it = renewals_.find(old->Get());
  if (it == renewals_.end()) return Error(401, "token cannot be renewed");
  if (std::find(tokens_.begin(), tokens_.end(), it->second) == tokens_.end() && !tokens_.empty())
    tokens_.push_back(it->second);
  return Json200("{\"proxyToken\": " + JsonQuote(it->second) + "}");
}

// The web front-end's play button: a page whose script opens the local browser link with the
// start command as the host name. The values land in the page's script, so only the characters
// a host name label may hold are accepted.
SimResponse Backend::PlayPage(const SimRequest& request) const {
  static const char kAutoplay[] =
      R"(window.addEventListener("load", () => document.getElementById("play").click());
)";
  auto param = [&](const char* name, const char* fallback) {
    auto it = request.params.find(name);
    return it == request.params.end() ? std::string(fallback) : it->second;
  };
  auto label = [](const std::string& v, std::size_t maxSize) {
    if (v.empty() || v.size() > maxSize) return false;
    for (char c : v)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    return true;
  };
  const std::string token = param("token", ""), session = param("session", ""), flag = param("flag", "1"),
                    port = param("port", "40109"), autoplay = param("autoplay", "0");
  int portNumber = 0;
  const bool portOk = !port.empty() && port.size() <= 5 &&
                      std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                      (portNumber = std::stoi(port)) >= 1 && portNumber <= 65535;
  if (!label(token, 62) || !label(session, 62) || (flag != "0" && flag != "1") || !portOk)
    return Error(400, "play needs token and session (letters, digits, '-'), flag 0 or 1, port 1..65535");
  const std::string host = "start." + token + "." + session + flag;
  SimResponse page;
  page.contentType = "text/html; charset=utf-8";
  page.body = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Play</title></head>
<body>
<h1>Play</h1>
<button id="play">Play</button>
<p id="state">ready</p>
<script>
const target = "https://)" +
              host + ":" + port + R"(/";
const state = document.getElementById("state");
document.getElementById("play").addEventListener("click", () => {
  state.textContent = "starting";
  // The service reads the server name and closes the connection: the request always fails.
  fetch(target, {mode: "no-cors", cache: "no-store"}).then(
      () => { state.textContent = "answered"; }, () => { state.textContent = "sent"; });
});
)" + std::string(autoplay == "1" ? kAutoplay : "") +
              R"(</script>
</body></html>
)";
  return page;
}

SimResponse Backend::Settings(const SimRequest& request, const std::string& rest) {
  if (request.method != "GET") return Error(405, "method not allowed");
  const std::vector<std::string> parts = Split(rest);
  if (parts.size() == 5 &&
      (parts[1] == "setorupdateuserclientonline" || parts[1] == "setorupdateuserstationchoice"))
    return Json200("{}");
  if (rest == "/getusermetaplain") {
    if (streamKey_.empty()) return Json200("{\"youtube\": {}}");
    return Json200("{\"youtube\": {\"stream_key\": " + JsonQuote(streamKey_) + "}}");
  }
  return Error(404, "no such call");
}

void Backend::OpenLog(const std::string& path) {
  std::lock_guard<std::mutex> lock(logMutex_);
  log_.open(path, std::ios::app);
  if (!log_) throw std::runtime_error("cannot open the request log " + path);
}

void Backend::LogRequest(const SimRequest& request, int status) {
  std::lock_guard<std::mutex> lock(logMutex_);
  if (!log_.is_open()) return;
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  std::string line = "{\"time_ms\": " + std::to_string(now) + ", \"method\": " + JsonQuote(request.method) +
                     ", \"path\": " + JsonQuote(request.target) + ", \"headers\": {";
  // Repeated headers are joined the way HTTP allows.
  std::map<std::string, std::string> merged;
  for (const auto& [name, value] : request.headers) {
    auto [it, fresh] = merged.emplace(name, value);
    if (!fresh) it->second += ", " + value;
  }
  bool first = true;
  for (const auto& [name, value] : merged) {
    line += (first ? "" : ", ") + JsonQuote(name) + ": " + JsonQuote(value);
    first = false;
  }
  line += "}, \"body\": " + JsonQuote(request.body) + ", \"status\": " + std::to_string(status) + "}\n";
  log_ << line;
  log_.flush();
}
