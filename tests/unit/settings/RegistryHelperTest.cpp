#include "TempConfigHome.h"
#include "mord/registry/RegistryHelper.h"

namespace fs = std::filesystem;

namespace {

#ifndef _WIN32
// On Windows the key is a registry key; tests/windows/SettingsRegistryTest.cpp covers it there.
using Registry = TempConfigHome;

TEST_F(Registry, OpenCreatesTheKeyAndStringsRoundTripThroughTheFile) {
  RegistryHelper key(L"SOFTWARE\\Microsoft\\DirectX\\UserGpuPreferences");
  EXPECT_TRUE(fs::is_regular_file(key.File()));
  EXPECT_EQ(key.ReadString(L"Anything"), std::nullopt);
  const std::wstring exe = L"/opt/zep dir/zep";
  const std::wstring text = L"two\nlines \\ and = and \u221e \U0001F3AE";
  key.WriteString(exe, L"GpuPreference=1;");
  key.WriteString(L"Text", text);

  // A fresh open sees what the first wrote; names ignore ASCII case.
  RegistryHelper again(L"SOFTWARE\\Microsoft\\DirectX\\UserGpuPreferences");
  EXPECT_EQ(again.ReadString(exe), L"GpuPreference=1;");
  EXPECT_EQ(again.ReadString(L"text"), text);
  EXPECT_NE(Read(key.File()).find("\xe2\x88\x9e"), std::string::npos);  // plain UTF-8 text
}

TEST_F(Registry, FailuresRaiseErrCodeException) {
  SettingsStore("SOFTWARE\\Ulmek\\Zep\\Service").Write("Number", SettingsValue::Dword(4));
  RegistryHelper key(L"SOFTWARE\\Ulmek\\Zep\\Service");
  EXPECT_EQ(ErrCodeOf([&] { (void)key.ReadString(L"Number"); }), ErrCode::UnsupportedType);
  // A key that cannot be read is an error, not a missing value.
  fs::remove(key.File());
  fs::create_directories(key.File());
  EXPECT_EQ(ErrCodeOf([&] { (void)key.ReadString(L"A"); }), EISDIR);
  EXPECT_EQ(ErrCodeOf([&] { key.WriteString(L"A", L"b"); }), EISDIR);
}
#endif

TEST(RegistryText, Utf8ConversionReplacesWhatIsNotUnicode) {
  // A lone surrogate or a value past U+10FFFF cannot be stored as UTF-8.
  // Where wchar_t holds UTF-16 (Windows): a lone low surrogate, then a high one at the end.
  std::wstring bad = L"x";
  bad += static_cast<wchar_t>(sizeof(wchar_t) == 4 ? 0xD800 : 0xDFFF);
  bad += static_cast<wchar_t>(sizeof(wchar_t) == 4 ? 0x110000 : 0xD800);
  EXPECT_EQ(RegistryHelper::ToUtf8(bad), "x\xef\xbf\xbd\xef\xbf\xbd");
  // Stray continuation, overlong, truncated, surrogate and too-large sequences.
  EXPECT_EQ(RegistryHelper::FromUtf8("\x80\xc0\xaf"), L"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(RegistryHelper::FromUtf8("ok\xe2\x82"), L"ok\uFFFD\uFFFD");
  EXPECT_EQ(RegistryHelper::FromUtf8("\xed\xa0\x80"), L"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(RegistryHelper::FromUtf8("\xf4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");
}

}  // namespace
