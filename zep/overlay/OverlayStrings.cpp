#include "zep/overlay/OverlayStrings.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "sov/settings/SettingsText.h"

namespace overlay {
namespace {

using Entry = std::pair<int, const char*>;
namespace st = SettingsText;

// Titles and hints of the settings rows, in display order, share identifiers across tables.
const Entry kEnglish[] = {
    {103, "zep"},
    {104, "unknown"},
    {105, "Yes"},
    {106, "No"},
    {107, "ZEP"},
    {108, "Play here"},
    {109, "Try next"},
    {110, "Stop trying"},
    {111, "Play here \n %s"},
    {112, "Skip"},
    {113, "X"},
    {114, "1"},
    {115, "2"},
    {116, "3"},
    {117, "4"},
    {118, "5"},
    {119, "6"},
    {120, "15"},
    {121, "20"},
    {122, "25"},
    {123, "30"},
    {124, "35"},
    {125, "\u221e"},
    {126, "720p"},
    {127, "1080p"},
    {128, "30"},
    {129, "60"},
    {130, "90"},
    {131, "120"},
    {132, "144"},
    {133, "\u221e"},
    {134, st::kVerticalSync.title},
    {135, st::kPostProcessing.title},
    {136, st::kAudioBufferSize.title},
    {137, st::kNetworkUsage.title},
    {138, st::kLimitBitrate.title},
    {139, st::kVideoCodec.title},
    {140, "Leave feedback?"},
    {141, "Fullscreen"},
    {142, "Settings"},
    {143, "Connection is slow. Wi-Fi is not welcome (%s ms)"},
    {144, "15"},
    {145, "min"},
    {146, "1"},
    {147, "2"},
    {148, st::kNetworkTransport.title},
    {149, "45"},
    {150, "75"},
    {151, "10"},
    {152, "20"},
    {153, "30"},
    {154, "40"},
    {155, "\u221e"},
    {156, st::kVideoResolution.title},
    {157, st::kServerFps.title},
    {158, st::kPreserveAspectRatio.title},
    {159, st::kAllowGamepad.title},
    {160, "h264"},
    {161, "h265"},
    {162, "av1"},
    {163, "2160p"},
    {164, "Allow incoming"},
    {165, "\U0001F3A4"},
    {166, st::kEnableMic.title},
    {167, "vp8"},
    {168, "vp9"},
    {188, st::kVerticalSync.hint},
    {189, st::kPostProcessing.hint},
    {190, st::kAudioBufferSize.hint},
    {191, st::kNetworkUsage.hint},
    {192, st::kLimitBitrate.hint},
    {193, st::kVideoCodec.hint},
    {194, st::kNetworkTransport.hint},
    {195, st::kVideoResolution.hint},
    {196, st::kServerFps.hint},
    {197, st::kPreserveAspectRatio.hint},
    {198, st::kAllowGamepad.hint},
    {199, st::kEnableMic.hint},
    {203, st::kEnableStreaming.hint},
    {204, "green"},
    {205, "yellow"},
    {206, st::kEnableStreaming.title},
};

// Numbers and codec names are the same in both languages and live in the English table only.
const Entry kRussian[] = {
    {104, "неизвестно"},
    {105, "Да"},
    {106, "Нет"},
    {108, "Играть здесь"},
    {109, "Попробовать другой"},
    {110, "Прекратить поиск"},
    {111, "Играть здесь \n %s"},
    {112, "Пропустить"},
    {134, "Вертикальная синхронизация"},
    {135, "Постобработка видео"},
    {136, "Размер аудиобуфера"},
    {137, "Нагрузка на сеть"},
    {138, "Ограничение битрейта"},
    {139, "Видеокодек"},
    {140, "Оставить отзыв?"},
    {141, "Полный экран"},
    {142, "Настройки"},
    {143, "Медленное соединение. Wi-Fi лучше не использовать (%s мс)"},
    {145, "мин"},
    {148, "Сетевой транспорт"},
    {156, "Разрешение видео"},
    {157, "Частота кадров сервера"},
    {158, "Сохранять пропорции"},
    {159, "Разрешить геймпад"},
    {164, "Разрешить входящие"},
    {166, "Включить микрофон"},
    {188,
     "Вертикальная синхронизация убирает разрывы изображения. Если её выключить, задержка станет меньше"},
    {189, "Дополнительная обработка кадров видеопотока, чтобы картинка стала лучше"},
    {190, "Большой буфер подойдёт для нестабильного соединения, маленький даст низкую задержку"},
    {191, "Качество сжатия видеопотока. Чем выше значение, тем лучше картинка и больше нагрузка на сеть"},
    {192, "Не ставьте сразу максимум. Повышайте битрейт на одно деление и проверяйте, комфортно ли играть"},
    {193,
     "Для AV1 и H.265 компьютеру нужна поддержка этих кодеков. Если видео не идёт, установите их из "
     "магазина приложений вашей системы"},
    {194,
     "Бета-версия. Зелёный — сверхбыстрый, для минимальной задержки, жёлтый — помехоустойчивый, для "
     "плохих сетей"},
    {195, "Выбирайте 720p, только если соединение совсем плохое"},
    {196,
     "Сколько кадров в секунду сервер будет передавать в видеопотоке. Больше — выше нагрузка и лучше "
     "качество"},
    {197,
     "Если включено, картинка показывается без искажения пропорций, но с чёрными полосами по краям экрана"},
    {198,
     "Управляйте игрой с геймпада, подключённого к компьютеру. Подойдёт любое устройство с поддержкой "
     "XInput"},
    {199, "Можно разрешить игре на сервере пользоваться микрофоном этого компьютера"},
    {203, "Транслируйте игру в прямом эфире на сервис или на видеоплатформу, привязанную к вашему аккаунту"},
    {204, "зелёный"},
    {205, "жёлтый"},
    {206, "Включить трансляцию"},
};

bool IsRussianFamily(const std::string& code) {
  return code == "ru" || code == "uk" || code == "be" || code == "kk";
}

}  // namespace

Language ChooseLanguage(const char* (*getenv)(const char*)) {
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(name);
    if (!value || !*value) continue;
    // "ru_RU.UTF-8", "uk:en", "be@latin": the language is what comes before the first separator.
    const std::string v(value);
    const std::string code = v.substr(0, v.find_first_of("_.@:"));
    return IsRussianFamily(code) ? Language::kRussian : Language::kEnglish;
  }
  return Language::kEnglish;
}

Language LanguageFromEnvironment() {
  return ChooseLanguage([](const char* name) -> const char* { return std::getenv(name); });
}

const char* TableText(Language language, int id) {
  if (language == Language::kRussian) {
    for (const auto& [key, text] : kRussian)
      if (key == id) return text;
    return nullptr;
  }
  for (const auto& [key, text] : kEnglish)
    if (key == id) return text;
  return nullptr;
}

std::string COverlayStrings::Text(int id) const {
  const Language other = language_ == Language::kRussian ? Language::kEnglish : Language::kRussian;
  if (const char* t = TableText(language_, id)) return t;
  if (const char* t = TableText(other, id)) return t;
  return {};
}

std::string FormatText(const std::string& pattern, const std::string& value) {
  const auto at = pattern.find("%s");
  if (at == std::string::npos) return pattern;
  return pattern.substr(0, at) + value + pattern.substr(at + 2);
}

}  // namespace overlay
