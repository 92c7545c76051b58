// The dialog's messages: the texts and captions of every message box it
// shows, made from the core's typed outcomes.
#ifndef TAPEDECODER_FRONT_DIALOG_MESSAGES_H_
#define TAPEDECODER_FRONT_DIALOG_MESSAGES_H_

#include <optional>
#include <string>

#include "convert/conversion_run.h"
#include "tape/decode_settings.h"

namespace tapedecoder {

// The text and caption of one message box. Both are UTF-8.
struct UserMessage {
  std::string text;
  std::string caption;
};

bool operator==(const UserMessage& a, const UserMessage& b);

// Captions of every message the dialog shows.
extern const char* const CAPTION_ERROR;    // "Ошибка"
extern const char* const CAPTION_MESSAGE;  // "Сообщение"

// The recording cannot be opened or is not an accepted recording.
extern const char* const MESSAGE_CANNOT_OPEN;
// The outputs cannot be created or completely written.
extern const char* const MESSAGE_CANNOT_CREATE;
// Memory for the samples or for a block ran out.
extern const char* const MESSAGE_NO_MEMORY;
// The conversion is complete (caption CAPTION_MESSAGE; the others have
// CAPTION_ERROR).
extern const char* const MESSAGE_COMPLETE;

// Nothing for an acceptable record, otherwise the message of the first
// failing check (CheckSettings), caption CAPTION_ERROR.
std::optional<UserMessage> ValidateSettings(const DecodeSettings& settings);

// Exactly one message for a run: the file cannot be opened, the outputs
// cannot be written, memory ran out, or the conversion is complete.
UserMessage ConversionMessage(const ConversionReport& report);

}  // namespace tapedecoder

#endif  // TAPEDECODER_FRONT_DIALOG_MESSAGES_H_
