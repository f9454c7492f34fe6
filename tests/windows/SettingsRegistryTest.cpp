// The settings store and RegistryHelper on Windows: values go to the current user's registry
// (under Wine, the test prefix's user.reg) and are read back with the registry's own calls,
// so a store that kept them anywhere else fails here.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "mord/registry/RegistryHelper.h"
#include "sov/base/BaseException.h"
#include "sov/settings/RunTimeSettings.h"
#include "sov/settings/SettingsStore.h"
#include "tests/unit/ErrCodeOf.h"

namespace {

std::optional<DWORD> RegDword(const wchar_t* key, const wchar_t* name) {
  DWORD v = 0, size = sizeof(v);
  if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_DWORD, nullptr, &v, &size) != ERROR_SUCCESS)
    return std::nullopt;
  return v;
}

std::optional<std::wstring> RegString(const wchar_t* key, const wchar_t* name) {
  DWORD size = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS)
    return std::nullopt;
  std::wstring text(size / sizeof(wchar_t), L'\0');
  if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, text.data(), &size) != ERROR_SUCCESS)
    return std::nullopt;
  text.resize(wcslen(text.c_str()));
  return text;
}

bool KeyExists(const wchar_t* key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

// Each case starts and ends without the keys it uses.
class RegistryStore : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kTestKey = L"SOFTWARE\\Ulmek\\Zep\\WindowsStoreTest";
  static constexpr const wchar_t* kRuntimeKey = L"SOFTWARE\\Ulmek\\Zep\\Runtime";
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  static void Clean() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kTestKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, kRuntimeKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kRuntimeKey);
  }
};

TEST_F(RegistryStore, ValuesRoundTripThroughTheRegistryWithTheirTypes) {
  SettingsStore store("SOFTWARE\\Ulmek\\Zep\\WindowsStoreTest");
  EXPECT_TRUE(store.Load().Empty());  // a missing key is an empty one
  EXPECT_FALSE(KeyExists(kTestKey));  // and reading does not create it
  store.Create();
  EXPECT_TRUE(KeyExists(kTestKey));
  store.Write({{"Number", SettingsValue::Dword(0xDEADBEEF)},
               {"Text", SettingsValue::String("caf\xc3\xa9 \xf0\x9f\x8e\xae")},
               {"Blob", SettingsValue::Binary({1, 2, 3, 4, 5})}});
  EXPECT_EQ(RegDword(kTestKey, L"Number"), 0xDEADBEEFu);
  EXPECT_EQ(RegString(kTestKey, L"Text"), L"caf\u00e9 \U0001F3AE");
  BYTE blob[8] = {};
  DWORD size = sizeof(blob), type = 0;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kTestKey, L"Blob", RRF_RT_REG_BINARY, &type, blob, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(blob[4], 5);

  // A value another program stored is seen, and one of a foreign type is skipped.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kTestKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  DWORD seven = 7;
  RegSetValueExW(key, L"Outside", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven), sizeof(seven));
  const wchar_t multi[] = L"a\0b\0";
  RegSetValueExW(key, L"Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof(multi));
  RegCloseKey(key);
  SettingsValues values = store.Load();
  EXPECT_EQ(values.readError, 0);
  EXPECT_EQ(values.Dword("outside"), 7u);  // names ignore case, as in the registry
  EXPECT_EQ(values.Dword("Number"), 0xDEADBEEFu);
  ASSERT_NE(values.Find("Text"), nullptr);
  EXPECT_EQ(values.Find("Text")->text, "caf\xc3\xa9 \xf0\x9f\x8e\xae");
  EXPECT_EQ(values.Find("Multi"), nullptr);
  EXPECT_EQ(values.skippedLines, 1u);

  // A rewrite replaces the value and its type.
  store.Write("Number", SettingsValue::String("now text"));
  EXPECT_EQ(RegDword(kTestKey, L"Number"), std::nullopt);
  EXPECT_EQ(RegString(kTestKey, L"Number"), L"now text");
}

TEST_F(RegistryStore, RegistryHelperStringsAreRegSz) {
  RegistryHelper key(L"SOFTWARE\\Ulmek\\Zep\\WindowsStoreTest");
  EXPECT_TRUE(KeyExists(kTestKey));  // opening creates the key
  EXPECT_EQ(key.ReadString(L"Anything"), std::nullopt);
  const std::wstring exe = L"C:\\Program Files\\Zep\\zep.exe";
  key.WriteString(exe, L"GpuPreference=1;");
  EXPECT_EQ(RegString(kTestKey, exe.c_str()), L"GpuPreference=1;");
  EXPECT_EQ(RegistryHelper(L"SOFTWARE\\Ulmek\\Zep\\WindowsStoreTest").ReadString(exe), L"GpuPreference=1;");
  // An empty string is a value, not a missing one.
  key.WriteString(L"Empty", L"");
  EXPECT_EQ(key.ReadString(L"Empty"), L"");
  SettingsStore("SOFTWARE\\Ulmek\\Zep\\WindowsStoreTest").Write("Number", SettingsValue::Dword(4));
  EXPECT_EQ(ErrCodeOf([&] { (void)key.ReadString(L"Number"); }), ErrCode::UnsupportedType);
}

TEST_F(RegistryStore, RunTimeSettingsSaveAsDwordsAndLoadOnlyValidOnes) {
  CRunTimeSettings settings;
  EXPECT_EQ(CRunTimeSettings::Get(settings.serverFpsIndex), 3u);  // default with no key
  CRunTimeSettings::Set(settings.serverFpsIndex, 8);
  CRunTimeSettings::Set(settings.codecIndex, 2);
  CRunTimeSettings::Set(settings.networkTransportIndex, 1);  // never saved
  settings.Save();
  EXPECT_EQ(RegDword(kRuntimeKey, L"ServerFPSIndex"), 8u);
  EXPECT_EQ(RegDword(kRuntimeKey, L"CodecIndex"), 2u);
  EXPECT_EQ(RegDword(kRuntimeKey, L"EnableMicIndex"), 1u);
  EXPECT_EQ(RegDword(kRuntimeKey, L"NetworkTransportIndex"), std::nullopt);

  // Out of range, of another type, or missing: the field keeps its value.
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kRuntimeKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  DWORD nine = 9, one = 1;
  RegSetValueExW(key, L"ServerFPSIndex", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&nine), sizeof(nine));
  RegSetValueExW(key, L"NetworkTransportIndex", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one),
                 sizeof(one));
  const wchar_t text[] = L"1";
  RegSetValueExW(key, L"VSyncIndex", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text));
  RegCloseKey(key);
  CRunTimeSettings loaded;
  EXPECT_EQ(CRunTimeSettings::Get(loaded.serverFpsIndex), 3u);
  EXPECT_EQ(CRunTimeSettings::Get(loaded.codecIndex), 2u);
  EXPECT_EQ(CRunTimeSettings::Get(loaded.networkTransportIndex), 1u);
  EXPECT_EQ(CRunTimeSettings::Get(loaded.vSyncIndex), 0u);
}

TEST_F(RegistryStore, BadKeyPathsAreRefused) {
  EXPECT_EQ(ErrCodeOf([] { SettingsStore("SOFTWARE\\Ulmek\\Zep\\a/b"); }), ErrCode::InvalidArg);
  EXPECT_EQ(ErrCodeOf([] { SettingsStore("SOFTWARE\\Ulmek\\Zep\\"); }), ErrCode::InvalidArg);
}

}  // namespace
