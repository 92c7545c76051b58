#include "front/dialog_messages.h"

namespace tapedecoder {

const char* const CAPTION_ERROR = "Ошибка";
const char* const CAPTION_MESSAGE = "Сообщение";

const char* const MESSAGE_CANNOT_OPEN =
    "Не могу открыть этот файл.\n"
    "Проверьте, не заблокирован ли он сторонней программой\n"
    "или его параметры не соответствуют 'не сжатый/44100/8/моно(стерео)'";
const char* const MESSAGE_CANNOT_CREATE = "Не могу создать tap-файл/txt-файл данных!";
const char* const MESSAGE_NO_MEMORY = "Недостаточно памяти для обработки этого файла!";
const char* const MESSAGE_COMPLETE = "Создание tap-файла и txt-файла данных завершено.";

bool operator==(const UserMessage& a, const UserMessage& b) {
  return a.text == b.text && a.caption == b.caption;
}

std::optional<UserMessage> ValidateSettings(const DecodeSettings& settings) {
  const char* text = nullptr;
  switch (CheckSettings(settings)) {
    case SETTINGS_OK: return std::nullopt;
    case SETTINGS_ZERO_RANGE: text = "Минимальная граница нуля больше максимальной!"; break;
    case SETTINGS_ONE_RANGE: text = "Минимальная граница единицы больше максимальной!"; break;
    case SETTINGS_PILOT_RANGE: text = "Минимальная граница пилот-тона больше максимальной!"; break;
    case SETTINGS_LEVEL: text = "Уровень должен быть от 0 до 255!"; break;
    case SETTINGS_POINTS: text = "Количество точек должно быть больше нуля!"; break;
  }
  return UserMessage{text, CAPTION_ERROR};
}

UserMessage ConversionMessage(const ConversionReport& report) {
  switch (report.failure.Class()) {
    case FailureClass::NONE: return UserMessage{MESSAGE_COMPLETE, CAPTION_MESSAGE};
    case FailureClass::INPUT: return UserMessage{MESSAGE_CANNOT_OPEN, CAPTION_ERROR};
    case FailureClass::OUTPUT: return UserMessage{MESSAGE_CANNOT_CREATE, CAPTION_ERROR};
    case FailureClass::MEMORY:
    case FailureClass::TAPE: break;  // the dialog always writes
  }
  return UserMessage{MESSAGE_NO_MEMORY, CAPTION_ERROR};
}

}  // namespace tapedecoder
