// Every product-specific value of this build. One build carries the texts of
// one product and one version; nothing is read at run time.
#pragma once

namespace updater::entry {

struct ProductTexts {
  const char16_t* caption;
  const char16_t* not_installed;
  const char16_t* question_versioned;
  const char16_t* question_plain;
  const char16_t* failed;
  const char16_t* completed;
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

// The confirmation text: the versioned question when the version label is set.
const char16_t* QuestionText(const ProductTexts& texts);

}  // namespace updater::entry
