#pragma once
// The overlay's texts in English and Russian, and the choice of language from the environment.
#include <string>

#include "CommonFiles/UI/UIStrings.h"

namespace overlay {

enum class Language { kEnglish, kRussian };

// The first set of LANGUAGE (its first entry), LC_ALL, LC_MESSAGES, LANG decides: Russian for
// ru, uk, be and kk, English otherwise. `getenv` is injectable for tests.
Language ChooseLanguage(const char* (*getenv)(const char*));
Language LanguageFromEnvironment();

// A text in one table only, or null.
const char* TableText(Language language, int id);

class COverlayStrings : public VektaUI::IUIStringTable {
 public:
  explicit COverlayStrings(Language language) : language_(language) {}
  // A text missing in the chosen table is taken from the other one.
  std::string Text(int id) const override;
  Language GetLanguage() const { return language_; }

 private:
  Language language_;
};

// `pattern` with its "%s" replaced by `value`.
std::string FormatText(const std::string& pattern, const std::string& value);

// String identifiers the overlay uses by name.
enum StringId : int {
  kStrUnknown = 104,
  kStrYes = 105,
  kStrNo = 106,
  kStrPlayHere = 108,
  kStrTryNext = 109,
  kStrStopTrying = 110,
  kStrPlayHereCountdown = 111,
  kStrClose = 113,
  kStrLeaveFeedback = 140,
  kStrFullscreen = 141,
  kStrSettings = 142,
  kStrSlowConnection = 143,
  kStrAllowIncoming = 164,
};

}  // namespace overlay
