#include "mord/registry/RegistryHelper.h"

#include "ErrorHandling/ErrorHandling.h"
#include "sov/base/BaseException.h"
#include "sov/base/Text.h"

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
    text::AppendUtf8(out, c);
  }
  return out;
}

std::wstring RegistryHelper::FromUtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t c = text::DecodeUtf8(text, i);
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (c >> 10));
        out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        continue;
      }
    }
    out += static_cast<wchar_t>(c);
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
  if (v->type != SettingsValue::Type::String) THROW_ERRCODE(ErrCode::UnsupportedType);
  return FromUtf8(v->text);
}

void RegistryHelper::WriteString(std::wstring_view name, std::wstring_view value) const {
  store_.Write(ToUtf8(name), SettingsValue::String(ToUtf8(value)));
}
