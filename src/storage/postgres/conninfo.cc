// Masking connection texts: libpq's parser decides what the secrets are and whether a masked text
// still holds one.
#include "storage/postgres/conninfo.h"

#include <libpq-fe.h>

#include <cstring>
#include <memory>

namespace velk::pg {
namespace {

struct OptionsFree {
  void operator()(PQconninfoOption* options) const noexcept { PQconninfoFree(options); }
};
using Options = std::unique_ptr<PQconninfoOption, OptionsFree>;

auto parse(const std::string& text) -> Options {
  char* error = nullptr;
  Options options(PQconninfoParse(text.c_str(), &error));
  PQfreemem(error);
  return options;
}

auto is_secret(const char* keyword) -> bool {
  for (const char* secret : kSecretKeywords) {
    if (std::strcmp(keyword, secret) == 0) return true;
  }
  return false;
}

auto is_blank(char c) -> bool { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// A URI's secrets masked where they stand: the password of the user part, and the values of
// secret parameters.
auto mask_uri(std::string_view url) -> std::string {
  std::string out;
  const auto scheme_end = url.find("://") + 3;
  const auto query = url.find('?', scheme_end);
  const auto authority_end = std::min(url.find('/', scheme_end), query);
  const std::string_view authority = url.substr(scheme_end, authority_end - scheme_end);
  out.append(url.substr(0, scheme_end));
  const auto at = authority.rfind('@');
  const auto colon = authority.substr(0, at == std::string_view::npos ? 0 : at).find(':');
  if (at != std::string_view::npos && colon != std::string_view::npos) {
    out.append(authority.substr(0, colon)).append(":***").append(authority.substr(at));
  } else {
    out.append(authority);
  }
  if (query == std::string_view::npos) {
    if (authority_end != std::string_view::npos) out.append(url.substr(authority_end));
    return out;
  }
  out.append(url.substr(authority_end, query + 1 - authority_end));
  std::string_view params = url.substr(query + 1);
  for (bool first = true;; first = false) {
    const auto amp = params.find('&');
    const std::string_view param = params.substr(0, amp);
    if (!first) out += '&';
    const auto eq = param.find('=');
    const std::string key(param.substr(0, eq));
    if (eq != std::string_view::npos && is_secret(key.c_str())) {
      out.append(param.substr(0, eq + 1)).append("***");
    } else {
      out.append(param);
    }
    if (amp == std::string_view::npos) break;
    params.remove_prefix(amp + 1);
  }
  return out;
}

// key = value words with the values of secret keywords masked; a value is bare up to a blank, or
// quoted with '' and backslash escapes.
auto mask_words(std::string_view text) -> std::string {
  std::string out;
  std::size_t k = 0;
  while (k < text.size()) {
    const auto key_start = k;
    while (k < text.size() && text[k] != '=' && !is_blank(text[k])) ++k;
    const std::string key(text.substr(key_start, k - key_start));
    while (k < text.size() && is_blank(text[k])) ++k;
    if (k >= text.size() || text[k] != '=') {
      out.append(text.substr(key_start, k - key_start));
      continue;
    }
    ++k;
    while (k < text.size() && is_blank(text[k])) ++k;
    const auto value_start = k;
    if (k < text.size() && text[k] == '\'') {
      for (++k; k < text.size() && text[k] != '\''; ++k) {
        if (text[k] == '\\') ++k;
      }
      if (k < text.size()) ++k;
    } else {
      while (k < text.size() && !is_blank(text[k])) ++k;
    }
    out.append(text.substr(key_start, value_start - key_start));
    out.append(is_secret(key.c_str()) ? "***" : text.substr(value_start, k - value_start));
    while (k < text.size() && is_blank(text[k])) out += text[k++];
  }
  return out;
}

// True when libpq reads in masked what it reads in the original (options), but for secrets that
// are "***", and none of secrets stands in it.
auto masks_only_secrets(const std::string& masked, const Options& options, const std::vector<std::string>& secrets)
    -> bool {
  const Options seen = parse(masked);
  if (!seen) return false;
  // Both lists hold every keyword libpq knows, in its one order.
  const PQconninfoOption* o = options.get();
  for (const PQconninfoOption* m = seen.get(); m->keyword != nullptr; ++m, ++o) {
    if (o->keyword == nullptr || std::strcmp(m->keyword, o->keyword) != 0) return false;
    if (is_secret(m->keyword)) {
      if (m->val != nullptr && std::strcmp(m->val, "***") != 0) return false;
    } else if ((m->val == nullptr) != (o->val == nullptr) || (m->val != nullptr && std::strcmp(m->val, o->val) != 0)) {
      return false;
    }
  }
  for (const auto& secret : secrets) {
    if (masked.find(secret) != std::string::npos) return false;
  }
  return true;
}

// libpq's reading of a text as key=value words, every value quoted, secrets masked.
auto as_words(const Options& options) -> std::string {
  std::string out;
  for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
    if (o->val == nullptr) continue;
    if (!out.empty()) out += ' ';
    out.append(o->keyword).append("='");
    if (is_secret(o->keyword)) {
      out += "***";
    } else {
      for (const char* c = o->val; *c != '\0'; ++c) {
        if (*c == '\'' || *c == '\\') out += '\\';
        out += *c;
      }
    }
    out += '\'';
  }
  return out;
}

auto is_uri(std::string_view text) -> bool { return text.starts_with("postgresql://") || text.starts_with("postgres://"); }

}  // namespace

auto has_stray_at(std::string_view text) -> bool {
  if (!is_uri(text)) return false;
  const auto scheme_end = text.find("://") + 3;
  const auto query = text.find('?', scheme_end);
  const auto path = text.find('/', scheme_end);
  return path < query && text.substr(path, query == std::string_view::npos ? query : query - path).find('@') !=
                             std::string_view::npos;
}

auto secrets_of(const std::string& text) -> std::vector<std::string> {
  std::vector<std::string> secrets;
  const Options options = parse(text);
  if (!options) return secrets;
  for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
    if (is_secret(o->keyword) && o->val != nullptr && o->val[0] != '\0') secrets.emplace_back(o->val);
  }
  return secrets;
}

auto without_secrets(const std::string& text) -> std::string {
  if (has_stray_at(text)) {
    // Shown as meant: everything after the user name up to the last '@' of the database part.
    const auto scheme_end = text.find("://") + 3;
    const auto query = text.find('?', scheme_end);
    const auto at = text.substr(0, query).rfind('@');
    const auto colon = text.substr(0, at).find(':', scheme_end);
    return text.substr(0, std::min(colon, at)) + (colon < at ? ":***" : "") + text.substr(at);
  }
  const Options options = parse(text);
  if (!options) return "(a connection text libpq cannot read)";
  const auto secrets = secrets_of(text);
  std::string masked = is_uri(text) ? mask_uri(text) : mask_words(text);
  if (masks_only_secrets(masked, options, secrets)) return masked;
  return as_words(options);
}

}  // namespace velk::pg
