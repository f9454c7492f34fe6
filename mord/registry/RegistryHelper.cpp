#include "mord/registry/RegistryHelper.h"

#include "ErrorHandling/ErrorHandling.h"
#include "sov/base/BaseException.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalar(char32_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

void AppendUtf8(std::string& out, char32_t c) {
  if (!IsScalar(c)) c = kReplacement;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string RegistryHelper::ToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<char32_t>(text[i]);
    // A 16-bit wchar_t carries UTF-16; join surrogate pairs.
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
        auto lo = static_cast<char32_t>(text[i + 1]);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
          ++i;
        }
      }
    }
    AppendUtf8(out, c);
  }
  return out;
}

std::wstring RegistryHelper::FromUtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3 : (b0 >> 3) == 0x1E ? 4 : 0;
    char32_t c = kReplacement;
    std::size_t used = 1;
    if (len == 1) {
      c = b0;
    } else if (len > 1 && i + len <= text.size()) {
      char32_t v = b0 & (0x7F >> len);
      bool ok = true;
      for (std::size_t k = 1; k < len; ++k) {
        auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        v = (v << 6) | (b & 0x3F);
      }
      // Overlong forms and surrogates are not valid UTF-8.
      static constexpr char32_t kMinForLength[] = {0, 0, 0x80, 0x800, 0x10000};
      if (ok && v >= kMinForLength[len] && IsScalar(v)) {
        c = v;
        used = len;
      }
    }
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (c >> 10));
        out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        i += used;
        continue;
      }
    }
    out += static_cast<wchar_t>(c);
    i += used;
  }
  return out;
}

RegistryHelper::RegistryHelper(std::wstring_view keyPath) : store_(ToUtf8(keyPath)) {
  store_.Create();
}

std::optional<std::wstring> RegistryHelper::ReadString(std::wstring_view name) const {
  SettingsValues values = store_.Load();
  if (values.readError != 0) THROW_ERRCODE(values.readError);
  const SettingsValue* v = values.Find(ToUtf8(name));
  if (!v) return std::nullopt;
  if (v->type != SettingsValue::Type::String) THROW_ERRCODE(kSettingsUnsupportedType);
  return FromUtf8(v->text);
}

void RegistryHelper::WriteString(std::wstring_view name, std::wstring_view value) const {
  store_.Write(ToUtf8(name), SettingsValue::String(ToUtf8(value)));
}
