#include "driver/status.h"

#include <cerrno>
#include <cstring>

namespace invoice {

Status Status::from_errno(int code) {
  switch (code) {
    case 0:
      return ok();
    case ENOENT:
    case ENOTDIR:
      return Status(Kind::kNotFound, code);
    case EEXIST:
      return Status(Kind::kExists, code);
    case EWOULDBLOCK:
      return Status(Kind::kLocked, code);
    case EROFS:
      return Status(Kind::kReadOnly, code);
    case ENOMEM:
      return Status(Kind::kNoMemory, code);
    default:
      return Status(Kind::kOther, code);
  }
}

std::string Status::message() const {
  std::string text;
  switch (kind_) {
    case Kind::kOk:
      return "correcte";
    case Kind::kNotFound:
      text = "no existeix";
      break;
    case Kind::kExists:
      text = "ja existeix";
      break;
    case Kind::kLocked:
      text = "bloquejat per un altre programa";
      break;
    case Kind::kReadOnly:
      text = "només de lectura";
      break;
    case Kind::kNotRegular:
      text = "no és un fitxer normal";
      break;
    case Kind::kChanged:
      text = "ha canviat mentre es convertia";
      break;
    case Kind::kUnlistable:
      text = "el nom conté un retorn de carro (CR) o el byte 0x1A";
      break;
    case Kind::kNoMemory:
      text = "no hi ha prou memòria";
      break;
    case Kind::kOther:
      return code_ != 0 ? std::string(std::strerror(code_)) : std::string("error desconegut");
  }
  if (code_ != 0) {
    text += " (";
    text += std::strerror(code_);
    text += ")";
  }
  return text;
}

}  // namespace invoice
