#include "tools/genkey/dns_record.h"

namespace quellsig {

std::string dnsRecordPath(std::string_view key_path) {
  std::size_t end = key_path.size();
  while (end > 0 && key_path[end - 1] == '/') --end;
  const std::size_t slash = key_path.rfind('/', end == 0 ? 0 : end - 1);
  const std::size_t start = slash == std::string_view::npos || end == 0 ? 0 : slash + 1;
  const std::size_t dot = key_path.substr(start, end - start).rfind('.');
  std::string path(dot == std::string_view::npos ? key_path : key_path.substr(0, start + dot));
  path += ".dns";
  return path;
}

std::string dnsRecordText(std::string_view selector, std::string_view domain,
                          std::string_view algorithm, std::optional<int> bits, std::string_view p) {
  constexpr std::size_t kMaxString = 255;
  std::string text = "; DKIM public key for ";
  text.append(domain).append(", selector ").append(selector).append(" (").append(algorithm);
  if (bits) text.append(", ").append(std::to_string(*bits)).append(" bits");
  text.append(")\n");
  text.append(selector).append("._domainkey.").append(domain).append(". IN TXT");

  std::string value = "v=DKIM1; k=";
  value.append(algorithm).append("; p=").append(p);
  if (value.size() <= kMaxString) {
    text.append(" \"").append(value).append("\"\n");
    return text;
  }
  text.append(" (\n");
  for (std::size_t at = 0; at < value.size(); at += kMaxString) {
    text.append("    \"").append(std::string_view(value).substr(at, kMaxString)).append("\"\n");
  }
  text.append("    )\n");
  return text;
}

}  // namespace quellsig
