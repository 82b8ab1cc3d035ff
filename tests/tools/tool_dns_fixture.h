// A fake nameserver on loopback serving TXT records by name, the
// KeyLookupFactory of the tools bound to it, and a tool's entry point run in
// process against it, for in-process tool tests.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dns/resolver_key_lookup.h"
#include "tests/support/fake_dns_server.h"
#include "tests/tools/tool_process.h"

namespace quellsig::testing {

// The in-process entry point each DNS-using tool has (runCheck, runTestkey).
using ToolMain = int (*)(std::span<const std::string_view> args,
                         const KeyLookupFactory& make_lookup, std::ostream& out, std::ostream& err);

class TxtZone {
 public:
  TxtZone() {
    server_ = FakeDnsServer::start("127.0.0.54", 0, [this](const FakeQuery& q) {
      std::vector<std::string> texts;
      int delay = 0;
      {
        std::lock_guard lock(mu_);
        auto it = records_.find(lowered(q.name));
        if (it == records_.end()) return std::vector<FakeDatagram>{{buildReply(q, 3, {})}};
        texts = it->second;
        delay = delay_ms_;
      }
      if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      std::vector<FakeRecord> answers;
      for (const auto& t : texts) {
        std::vector<std::string> pieces;
        for (std::size_t i = 0; i < t.size() || i == 0; i += 255)
          pieces.push_back(t.substr(i, 255));
        answers.push_back({q.name, kDnsTypeTxt, 300, txtRdata(pieces)});
      }
      return std::vector<FakeDatagram>{{buildReply(q, 0, answers)}};
    });
  }

  bool running() const { return server_ != nullptr; }
  void set(const std::string& name, std::vector<std::string> texts) {
    std::lock_guard lock(mu_);
    records_[lowered(name)] = std::move(texts);
  }
  void erase(const std::string& name) {
    std::lock_guard lock(mu_);
    records_.erase(lowered(name));
  }
  void setDelay(int ms) {
    std::lock_guard lock(mu_);
    delay_ms_ = ms;
  }
  std::string address() const { return server_->address(); }
  std::uint16_t port() const { return server_->port(); }

  // Builds the tools' lookup, always aimed at this server whatever -n/-p say,
  // except that a non-literal -n still fails as it would in the tool.
  KeyLookupFactory factory() const {
    return [this](std::string_view ns, std::uint16_t) -> Result<std::unique_ptr<KeyLookup>> {
      Result<std::unique_ptr<KeyLookup>> probe = makeToolKeyLookup(ns, 53);
      if (!probe) return probe;
      return makeToolKeyLookup(server_->address(), server_->port());
    };
  }
  // Calls `tool` with args and factory(), capturing what it writes.
  ToolRun run(ToolMain tool, const std::vector<std::string>& args) const {
    std::vector<std::string_view> views(args.begin(), args.end());
    std::ostringstream out, err;
    int status = tool(views, factory(), out, err);
    return {status, out.str(), err.str()};
  }

 private:
  static std::string lowered(std::string s) {
    for (char& c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return s;
  }

  std::mutex mu_;
  std::map<std::string, std::vector<std::string>> records_;
  int delay_ms_ = 0;
  std::unique_ptr<FakeDnsServer> server_;
};

}  // namespace quellsig::testing
