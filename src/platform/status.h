// Status: the outcome of a platform call, as a value. errno becomes text in one place
// (ErrorText), so every front-end shows the same words for the same failure.
// Thread-safe: values only.
#pragma once

#include <string>
#include <utility>

namespace rureza {

struct Status {
  int code = 0;      // errno value; 0 means success
  std::string text;  // the platform's text for code, empty on success

  bool ok() const { return code == 0; }
  static Status Ok() { return {}; }
  static Status FromErrno(int err);
};

// The platform's text for an errno value ("No such file or directory").
std::string ErrorText(int err);

}  // namespace rureza
