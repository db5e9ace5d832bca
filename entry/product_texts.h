// Every product-specific value of this build. One build carries the texts of
// one product and its own version label; an update may name the version it
// installs, which its texts then show instead.
#pragma once

#include "platform/platform.h"

namespace updater::entry {

struct ProductTexts {
  const char16_t* caption;
  const char16_t* not_installed;
  const char16_t* question_plain;
  // The versioned texts are an opening, the version label and a close.
  const char16_t* versioned_open;  // of the question and the failure
  const char16_t* completed_open;  // without the word 体験版
  const char16_t* question_close;
  const char16_t* failed_close;
  const char16_t* completed_close;
  const char16_t* version_label;  // non-empty selects the versioned question
  const char16_t* engine_executable;
  const char16_t* default_install_root;
  const char16_t* install_lock;  // names the hold one install takes on the game folder
  const char16_t* source_directory;
  const char16_t* build_option;
  const char16_t* output_error;
  const char16_t* output_error_caption;
  // Build-mode errors that name a file; the file's path follows the text.
  const char16_t* source_unreadable;
  const char16_t* path_too_long;
  const char16_t* bad_name;
  const char16_t* package_too_large;
  const char16_t* not_a_file;
  const char16_t* bad_time;
};

// The table this build shows.
extern const ProductTexts kProductTexts;

// A versioned text: `open`, the version label `label`, and `close`.
WString VersionedText(const char16_t* open, const WString& label, const char16_t* close);

// The question for an update that installs `label`: the plain one when it is empty.
WString QuestionText(const ProductTexts& texts, const WString& label);

}  // namespace updater::entry
