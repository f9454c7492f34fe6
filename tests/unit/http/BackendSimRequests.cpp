// The back-end's request log, read the same way on every system.
#include <fstream>

#include "mord/json/Json.h"
#include "tests/unit/http/BackendSim.h"

std::string LoggedRequest::Header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? "<absent>" : it->second;
}

std::vector<LoggedRequest> BackendSim::Requests() const {
  std::vector<LoggedRequest> out;
  std::ifstream in(dir_ / "requests.log");
  for (std::string line; std::getline(in, line);) {
    const JsonObject o(line);  // a malformed line throws
    LoggedRequest r;
    r.status = static_cast<int>(o.GetNumber("status"));
    r.timeMs = static_cast<int64_t>(o.GetNumber("time_ms"));
    r.method = o.GetString("method");
    r.path = o.GetString("path");
    r.body = o.GetString("body");
    for (const auto& [name, v] : o.Get<Json::Object>("headers").Items())
      if (const auto* s = Json::As<Json::String>(v.get())) r.headers[name] = s->Get();
    out.push_back(std::move(r));
  }
  return out;
}
