#ifndef INVOICE_DRIVER_MESSAGES_H_
#define INVOICE_DRIVER_MESSAGES_H_

#include <string_view>

#include "driver/status.h"

namespace invoice {

// Every text that the program shows, in Catalan, UTF-8 encoded. The program
// builds its lines from these and the tests compare against them, so a
// wording is changed here and nowhere else.

// The console lines of a run, in the order they appear.
inline constexpr std::string_view kLocatingMessage = "Localitzant fitxers...";
inline constexpr std::string_view kConvertingMessage = "Convertint fitxers...";
// A summary line: the head, the count in decimal digits, one of the tails.
inline constexpr std::string_view kSummaryHead = "Convertits correctament ";
inline constexpr std::string_view kUpgradeSummaryTail = " fitxers de versió 3.0 a 3.2.1";
inline constexpr std::string_view kCodePageSummaryTail = " fitxers de codepage 850 a utf-8";

// A failure on standard error: the head, the path, the separator, the reason.
inline constexpr std::string_view kFailureHead = "Error: ";
inline constexpr std::string_view kFailureSeparator = ": ";

// A notice on standard error, about a file that did not fail: the head, the
// path, the separator of failures, the text.
inline constexpr std::string_view kNoticeHead = "Avís: ";
// The texts of notices about electronically signed invoices: one kept as it
// is because a conversion would break its signature, one converted anyway.
inline constexpr std::string_view kSignedKeptNotice =
    "signada electrònicament; no es modifica perquè la signatura deixaria de ser vàlida";
inline constexpr std::string_view kSignedConvertedNotice =
    "signada electrònicament; s'ha convertit i la signatura ja no es pot considerar vàlida";

// The reason given for a command-line argument the program does not know.
inline constexpr std::string_view kUnknownOption = "opció desconeguda";

// The start of a reason: what could not be done. The text of the failure's
// kind (`describe_kind`) follows.
inline constexpr std::string_view kCannotOpen = "no s'ha pogut obrir: ";
inline constexpr std::string_view kCannotRead = "no s'ha pogut llegir: ";
inline constexpr std::string_view kCannotSave = "no s'ha pogut desar, l'original queda intacte: ";
// The same when the upgrade was saved and only the conversion to UTF-8,
// which comes after it, was not.
inline constexpr std::string_view kCannotSaveConversion =
    "no s'ha pogut desar la conversió de codepage 850 a utf-8, el fitxer queda a la versió "
    "3.2.1 però encara en codepage 850: ";
inline constexpr std::string_view kCannotRestoreTime = "no s'ha pogut restaurar la data: ";
inline constexpr std::string_view kCannotReadFolder = "no s'ha pogut llegir la carpeta: ";
inline constexpr std::string_view kCannotCreateList = "no s'ha pogut crear la llista de fitxers: ";
inline constexpr std::string_view kCannotWriteList =
    "no s'ha pogut escriure la llista de fitxers: ";
inline constexpr std::string_view kCannotOpenList = "no s'ha pogut obrir la llista de fitxers: ";
inline constexpr std::string_view kCannotReadList = "no s'ha pogut llegir la llista de fitxers: ";
inline constexpr std::string_view kCannotRemoveList =
    "no s'ha pogut esborrar la llista de fitxers: ";
// A file list whose name another file took meanwhile; that file is left.
inline constexpr std::string_view kListReplaced =
    "un altre fitxer ha pres el nom de la llista de fitxers i no s'ha esborrat";
// Standard output could not be written; the reason follows. Shown after the
// failure head, with no path.
inline constexpr std::string_view kCannotWriteOutput =
    "no s'ha pogut escriure a la sortida estàndard: ";
// The notice about a temporary folder where other users may put their
// files in place of the file list.
inline constexpr std::string_view kSharedTempNotice =
    "altres usuaris hi poden substituir fitxers (permet escriure a tothom sense el bit "
    "enganxós): la llista de fitxers no hi està segura";
// Follows the text of kReadOnly for a file that needs a change it may not
// be given.
inline constexpr std::string_view kNeedsConverting = " i cal convertir-lo";

// The short reason that each kind of failure is reported with.
constexpr std::string_view describe_kind(Status::Kind kind) {
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

}  // namespace invoice

#endif  // INVOICE_DRIVER_MESSAGES_H_
