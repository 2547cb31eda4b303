#include "driver/status.h"

namespace invoice {

namespace {

const char* describe(Status::Kind kind) {
  switch (kind) {
    case Status::Kind::kOk:
      return "correcte";
    case Status::Kind::kNotFound:
      return "no existeix";
    case Status::Kind::kNotAFolder:
      return "no és una carpeta";
    case Status::Kind::kExists:
      return "ja existeix";
    case Status::Kind::kLocked:
      return "bloquejat per un altre programa";
    case Status::Kind::kReadOnly:
      return "només de lectura";
    case Status::Kind::kAccessDenied:
      return "accés denegat";
    case Status::Kind::kNoSpace:
      return "no queda espai al disc";
    case Status::Kind::kNotRegular:
      return "no és un fitxer normal";
    case Status::Kind::kChanged:
      return "ha canviat mentre es convertia";
    case Status::Kind::kUnlistable:
      return "el nom conté un retorn de carro (CR) o el byte 0x1A";
    case Status::Kind::kNoMemory:
      return "no hi ha prou memòria";
    case Status::Kind::kTooManyFiles:
      return "massa fitxers oberts";
    case Status::Kind::kStopped:
      return "s'ha interromput l'execució";
    case Status::Kind::kHardLinked:
      return "té més d'un nom (enllaços durs), que la conversió separaria";
    case Status::Kind::kForeignLink:
      return "l'enllaç simbòlic i el fitxer on apunta tenen propietaris diferents";
    case Status::Kind::kOwnerNotKept:
      return "no se'n poden conservar el propietari i el grup";
    case Status::Kind::kAccessNotKept:
      return "no se'n poden conservar els permisos i la llista de control d'accés";
    case Status::Kind::kAttributesNotKept:
      return "no se'n poden conservar els atributs ampliats";
    case Status::Kind::kFlagsNotKept:
      return "no se'n poden conservar els indicadors (chattr)";
    case Status::Kind::kOther:
      break;
  }
  return "error desconegut";
}

}  // namespace

std::string Status::message() const {
  // Any other failure is best named by the system itself.
  if (kind_ == Kind::kOther && !system_text_.empty()) return system_text_;
  std::string text = describe(kind_);
  if (!system_text_.empty() && kind_ != Kind::kOk) {
    text += " (";
    text += system_text_;
    text += ")";
  }
  return text;
}

}  // namespace invoice
