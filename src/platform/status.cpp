#include "platform/status.h"

#include <cstring>

namespace rureza {

std::string ErrorText(int err) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text;
}

Status Status::FromErrno(int err) {
  Status s;
  s.code = err == 0 ? EIO : err;
  s.text = ErrorText(s.code);
  return s;
}

}  // namespace rureza
