#include "TempConfigHome.h"
#include "mord/registry/RegistryHelper.h"
#include "sov/base/BaseException.h"

namespace fs = std::filesystem;

namespace {

using Registry = TempConfigHome;

template <class F>
int ErrCodeOf(F f) {
  try {
    f();
  } catch (const ErrCodeException& e) {
    return e.Code();
  }
  return 0;
}

TEST_F(Registry, OpenCreatesTheKeyAndMissingValuesAreNone) {
  RegistryHelper key(L"SOFTWARE\\Ulmek\\Zep\\Service");
  EXPECT_EQ(key.File(), home_ / "Ulmek" / "Zep" / "Service");
  EXPECT_TRUE(fs::is_regular_file(key.File()));
  EXPECT_EQ(key.ReadString(L"Anything"), std::nullopt);
}

TEST_F(Registry, StringsRoundTripThroughTheFile) {
  RegistryHelper key(L"SOFTWARE\\Microsoft\\DirectX\\UserGpuPreferences");
  EXPECT_EQ(key.File().filename(), "Microsoft.DirectX.UserGpuPreferences");
  const std::wstring exe = L"/opt/zep dir/zep";
  key.WriteString(exe, L"GpuPreference=1;");
  key.WriteString(L"Text", L"two\nlines \\ and = and \u221e \U0001F3AE");
  key.WriteString(L"Empty", L"");

  // A fresh open sees what the first wrote.
  RegistryHelper again(L"SOFTWARE\\Microsoft\\DirectX\\UserGpuPreferences");
  EXPECT_EQ(again.ReadString(exe), L"GpuPreference=1;");
  EXPECT_EQ(again.ReadString(L"text"), L"two\nlines \\ and = and \u221e \U0001F3AE");
  EXPECT_EQ(again.ReadString(L"Empty"), L"");
  EXPECT_EQ(again.ReadString(L"/opt/zep dir/zep2"), std::nullopt);

  again.WriteString(exe, L"GpuPreference=2;");
  EXPECT_EQ(key.ReadString(exe), L"GpuPreference=2;");
  // The file stays plain UTF-8 text.
  EXPECT_NE(Read(key.File()).find("\xe2\x88\x9e"), std::string::npos);
}

TEST_F(Registry, ValueOfAnotherTypeRaises) {
  SettingsStore("SOFTWARE\\Ulmek\\Zep\\Service").Write("Number", SettingsValue::Dword(4));
  RegistryHelper key(L"SOFTWARE\\Ulmek\\Zep\\Service");
  EXPECT_EQ(ErrCodeOf([&] { (void)key.ReadString(L"Number"); }), ErrCode::UnsupportedType);
  try {
    (void)key.ReadString(L"Number");
  } catch (const ErrCodeException& e) {
    // The log then explains the failure rather than saying "<unknown>".
    EXPECT_TRUE(std::string(e.what()).ends_with("(errcode 1630); ; Data of this type is not supported."))
        << e.what();
  }
}

TEST_F(Registry, FailuresRaiseErrCodeException) {
  EXPECT_EQ(ErrCodeOf([] { RegistryHelper k(L"SOFTWARE\\..\\x"); }), ErrCode::InvalidArg);

  RegistryHelper key(L"SOFTWARE\\Ulmek\\Zep\\Service");
  fs::remove(key.File());
  fs::create_directories(key.File());
  EXPECT_EQ(ErrCodeOf([&] { (void)key.ReadString(L"A"); }), EISDIR);
  EXPECT_EQ(ErrCodeOf([&] { key.WriteString(L"A", L"b"); }), EISDIR);
  EXPECT_EQ(ErrCodeOf([] { RegistryHelper k(L"SOFTWARE\\Ulmek\\Zep\\Service"); }), EISDIR);
}

TEST(RegistryText, Utf8ConversionReplacesWhatIsNotUnicode) {
  EXPECT_EQ(RegistryHelper::ToUtf8(L"a\u00e9\u20ac\U0001F600"), "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(RegistryHelper::FromUtf8("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), L"a\u00e9\u20ac\U0001F600");
  // A lone surrogate or a value past U+10FFFF cannot be stored as UTF-8.
  std::wstring bad = L"x";
  bad += static_cast<wchar_t>(0xD800);
  bad += static_cast<wchar_t>(0x110000);
  EXPECT_EQ(RegistryHelper::ToUtf8(bad), "x\xef\xbf\xbd\xef\xbf\xbd");
  // Stray continuation, overlong, truncated and surrogate sequences.
  EXPECT_EQ(RegistryHelper::FromUtf8("\x80"), L"\uFFFD");
  EXPECT_EQ(RegistryHelper::FromUtf8("\xc0\xaf"), L"\uFFFD\uFFFD");
  EXPECT_EQ(RegistryHelper::FromUtf8("ok\xe2\x82"), L"ok\uFFFD\uFFFD");
  EXPECT_EQ(RegistryHelper::FromUtf8("\xed\xa0\x80"), L"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(RegistryHelper::FromUtf8("\xf4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");
}

}  // namespace
