#ifndef INVOICE_DRIVER_MESSAGES_H_
#define INVOICE_DRIVER_MESSAGES_H_

#include <string>
#include <string_view>

#include "platform/status.h"

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

// A dry run says so where a run says it converts, and counts in the
// conditional, so that its report cannot pass for a run's.
inline constexpr std::string_view kDryRunMessage =
    "Comprovant fitxers (simulació: no es modifica cap fitxer)...";
inline constexpr std::string_view kDryRunSummaryHead = "Es convertirien ";

// One line for each invoice changed (with --verbose) or that a dry run would
// change: the head, the path, the separator, then the steps done, joined.
inline constexpr std::string_view kConvertedHead = "Convertit ";
inline constexpr std::string_view kDryRunConvertedHead = "Es convertiria ";
inline constexpr std::string_view kChangeSeparator = ": ";
inline constexpr std::string_view kUpgradeStep = "versió 3.0 a 3.2.1";
inline constexpr std::string_view kCodePageStep = "codepage 850 a utf-8";
inline constexpr std::string_view kStepJoin = " i ";

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
// The same in a dry run, for one that --convert-signed would convert.
inline constexpr std::string_view kDryRunSignedConvertedNotice =
    "signada electrònicament; es convertiria i la signatura deixaria de ser vàlida";

// The notice about a document declared ibm850 whose text was UTF-8 already,
// of which only the declaration was (or in a dry run would be) corrected.
inline constexpr std::string_view kAlreadyUtf8Notice =
    "declarada ibm850 però el text ja era UTF-8; només s'ha corregit la declaració";
// The reason for a document left whole because the end tag of Parties could
// be moved only in part (in a dry run too).
inline constexpr std::string_view kUnrecognisedStructureReason =
    "estructura 3.0 no reconeguda (Parties); cal revisar-la a mà";

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
// An invoice put in place whose folder could not be flushed: a power cut
// could still bring back the original.
inline constexpr std::string_view kNotDurable = "convertida, però no s'ha pogut fer durable: ";
// A hidden replacement file, of a killed run or of this one, that could not
// be removed: it stays beside the invoice, a full copy of it.
inline constexpr std::string_view kCannotRemoveCopy =
    "no s'ha pogut esborrar aquesta còpia temporal d'una conversió: ";
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
// The whole line told when the run runs out of memory where no file is in
// hand; built in advance, since building it could need memory.
inline constexpr std::string_view kOutOfMemoryLine = "Error: no hi ha prou memòria\n";
// The notice about a temporary folder where other users may put their
// files in place of the file list.
inline constexpr std::string_view kSharedTempNotice =
    "altres usuaris hi poden substituir fitxers (permet escriure a tothom sense el bit "
    "enganxós): la llista de fitxers no hi està segura";
// The notice about MORROOT or DOCUMENT, when users other than the running
// one may put something else in its place.
inline constexpr std::string_view kSwappableNotice =
    "altres usuaris la poden substituir (la carpeta que la conté permet escriure-hi sense el bit "
    "enganxós): la conversió podria acabar en una altra carpeta";
// Follows the text of kReadOnly for a file that needs a change it may not
// be given.
inline constexpr std::string_view kNeedsConverting = " i cal convertir-lo";

// The command line. A refused one gets one line on standard error: the
// program's name, the separator, the fault, the argument in quotes, then the
// pointer to --help.
inline constexpr std::string_view kProgramName = "invoice-converter";
inline constexpr std::string_view kUnknownOption = "opció desconeguda:";
inline constexpr std::string_view kAmbiguousOption = "opció ambigua:";
inline constexpr std::string_view kOptionTakesNoValue = "l'opció no admet cap valor:";
inline constexpr std::string_view kOptionNeedsFolder = "falta la carpeta de l'opció";
inline constexpr std::string_view kOptionNeedsHost = "falta el servidor de l'opció";
// A stylesheet host outside the allowed form, from the option or from the
// environment variable.
inline constexpr std::string_view kInvalidHost =
    "servidor del full d'estil no vàlid (només lletres, xifres, guions i punts, i si cal "
    ":port):";
inline constexpr std::string_view kInvalidHostVariable =
    "servidor del full d'estil no vàlid a INVOICE_STYLESHEET_HOST (només lletres, xifres, "
    "guions i punts, i si cal :port):";
inline constexpr std::string_view kStrayArgument =
    "argument no esperat (la carpeta arrel es dona amb --root):";
inline constexpr std::string_view kSeeHelpHead = ". Vegeu '";
inline constexpr std::string_view kSeeHelpTail = " --help'.";

// --help: the usage line, the text, the pointer to the manual page.
inline constexpr std::string_view kUsageHead = "Ús: ";
inline constexpr std::string_view kUsageTail = " [OPCIÓ]...\n";
inline constexpr std::string_view kHelpText =
    "Actualitza les factures electròniques (*.xml) de la carpeta DOCUMENT de l'arrel\n"
    "d'instal·lació i de totes les carpetes que conté: els documents Facturae 3.0\n"
    "passen a 3.2.1 i els declarats en codepage 850 (encoding=\"ibm850\") passen a\n"
    "UTF-8. Cada fitxer canviat es reescriu al seu lloc i conserva la data de\n"
    "modificació; les factures signades electrònicament no es modifiquen.\n"
    "\n"
    "Opcions:\n"
    "  -n, --dry-run         mostra què es convertiria, sense modificar cap fitxer\n"
    "  -v, --verbose         mostra cada factura convertida i què s'hi ha fet\n"
    "      --root=CARPETA    arrel d'instal·lació, en lloc de MORROOT\n"
    "      --convert-signed  converteix també les factures signades (la signatura\n"
    "                        deixa de ser vàlida)\n"
    "      --stylesheet-host=SERVIDOR\n"
    "                        servidor web del full d'estil (FACTURA.XSL) que han de\n"
    "                        citar les factures actualitzades, p. ex.\n"
    "                        xsl.despatx.example o xsl.despatx.example:8080; sense\n"
    "                        servidor, les factures amb un full d'estil local es\n"
    "                        deixen tal com són\n"
    "      --backup=CARPETA  abans de convertir cada factura, en guarda l'original a\n"
    "                        CARPETA (fora de DOCUMENT), amb el mateix camí i les\n"
    "                        mateixes dates, i l'anota a CARPETA/MANIFEST.tsv\n"
    "      --restore=CARPETA desfà les conversions anotades a CARPETA: torna a\n"
    "                        posar l'original de cada factura que no ha canviat\n"
    "                        des de la conversió\n"
    "  -h, --help            mostra aquesta ajuda i surt\n"
    "      --version         mostra la versió i surt\n"
    "\n"
    "Variables d'entorn:\n"
    "  MORROOT  arrel d'instal·lació: es converteix MORROOT/DOCUMENT (si és buida o\n"
    "           no hi és, DOCUMENT a la carpeta actual)\n"
    "  TEMP     carpeta de la llista temporal de fitxers (si no hi és, TMPDIR o /tmp)\n"
    "  INVOICE_STYLESHEET_HOST\n"
    "           servidor del full d'estil quan no es dona --stylesheet-host\n"
    "\n"
    "Estat de sortida:\n"
    "  0  s'han tractat tots els fitxers\n"
    "  1  alguna cosa ha fallat (vegeu els missatges d'error)\n"
    "  2  la línia d'ordres o INVOICE_STYLESHEET_HOST és incorrecta; no s'ha fet res\n"
    "\n";
inline constexpr std::string_view kManualPageHead = "Més informació: man ";
// On Windows the help is the same text with these phrases in place of the
// POSIX ones, and the README in the program's zip in place of the manual.
struct HelpPhrase {
  std::string_view posix;
  std::string_view windows;
};
inline constexpr HelpPhrase kWindowsHelpPhrases[] = {
    {"  -h, --help            mostra", "  -h, --help, /?        mostra"},
    {"MORROOT/DOCUMENT", "MORROOT\\DOCUMENT"},
    {"CARPETA/MANIFEST.tsv", "CARPETA\\MANIFEST.tsv"},
    {"(si no hi és, TMPDIR o /tmp)",
     "(si no hi és, TMP o\n           la carpeta temporal de l'usuari)"},
};
inline constexpr std::string_view kReadmeLine =
    "Més informació: README.md, dins del fitxer zip del programa\n";

// --version: the name and version, then the stylesheet host and where it
// came from, or that there is none.
inline constexpr std::string_view kStylesheetHostHead =
    "Servidor del full d'estil de les factures actualitzades: ";
inline constexpr std::string_view kHostFromOption = " (de l'opció --stylesheet-host)";
inline constexpr std::string_view kHostFromEnvironment =
    " (de la variable d'entorn INVOICE_STYLESHEET_HOST)";
inline constexpr std::string_view kHostFromBuild = " (el valor per defecte de la compilació)";
inline constexpr std::string_view kNoHost =
    "cap (es dona amb --stylesheet-host o INVOICE_STYLESHEET_HOST)";

// The failure of a document that holds a local stylesheet reference when
// the run has no host to put in its place; the first such line says how to
// give one.
inline constexpr std::string_view kNeedsStylesheetHost =
    "cal el servidor del full d'estil: la factura en cita un de local i es deixa tal com és";
inline constexpr std::string_view kHowToGiveHost =
    " (doneu-lo amb --stylesheet-host=SERVIDOR o amb la variable d'entorn "
    "INVOICE_STYLESHEET_HOST)";

// Keeping originals (--backup). A failure to keep one leaves the invoice
// unconverted; with --verbose each kept original gets a line (the head, the
// invoice's path, the separator, kKeptAs and where it is kept); the summary
// gains a line with the folder and the count when any was kept.
inline constexpr std::string_view kCannotKeepOriginal =
    "no s'ha pogut guardar l'original, la factura no es converteix: ";
inline constexpr std::string_view kKeptOriginalHead = "Original guardat de ";
inline constexpr std::string_view kKeptAs = "a ";
inline constexpr std::string_view kKeptSummaryHead = "Originals guardats a ";
inline constexpr std::string_view kCannotUseBackup =
    "no es pot fer servir com a carpeta d'originals; no es converteix cap factura: ";
inline constexpr std::string_view kBackupInsideTree =
    "la carpeta d'originals no pot ser dins de la carpeta que es converteix: ";
inline constexpr std::string_view kBackupUsable = "Carpeta d'originals, es pot fer servir: ";
inline constexpr std::string_view kBackupWouldBeCreated =
    "Carpeta d'originals, no existeix i es crearia: ";
// The copy's file system holds only content and times: said once a run.
inline constexpr std::string_view kAccessNotKeptNotice =
    "el sistema de fitxers de la carpeta d'originals no guarda propietari, permisos ni "
    "atributs: dels originals només se'n conserven el contingut i les dates";

// Putting originals back (--restore): the console lines, in order, and the
// reasons an invoice is left as it is.
inline constexpr std::string_view kRestoringMessage = "Restaurant els originals...";
inline constexpr std::string_view kDryRunRestoringMessage =
    "Comprovant la restauració (simulació: no es modifica cap fitxer)...";
inline constexpr std::string_view kRestoredHead = "Restaurat ";
inline constexpr std::string_view kDryRunRestoredHead = "Es restauraria ";
inline constexpr std::string_view kRestoredFrom = "original guardat el ";
inline constexpr std::string_view kRestoredSummaryHead = "Restaurades correctament ";
inline constexpr std::string_view kDryRunRestoredSummaryHead = "Es restaurarien ";
inline constexpr std::string_view kRestoredSummaryTail = " factures";
inline constexpr std::string_view kChangedSinceConversion =
    "ha canviat des de la conversió; no es restaura";
inline constexpr std::string_view kKeptCopyDiffers =
    "la còpia guardada no és l'original que es va registrar; no es restaura";
inline constexpr std::string_view kCannotReadKept = "no s'ha pogut llegir l'original guardat: ";
inline constexpr std::string_view kCannotReadManifest =
    "no s'ha pogut llegir el registre d'originals: ";
inline constexpr std::string_view kBadManifestEntry =
    "el registre d'originals té un camí que surt de la carpeta; no es restaura";
inline constexpr std::string_view kBackupAndRestore =
    "les opcions --backup i --restore no es poden combinar:";

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
    case Status::Kind::kUndecodableName:
      return "el nom no es pot convertir a UTF-8 exactament; es mostra amb \\u davant de cada "
             "caràcter que no es pot convertir";
    case Status::Kind::kNameCollides:
      return "un altre element de la carpeta té el mateix nom (o el mateix llevat de majúscules i "
             "minúscules) i no es pot saber quin s'obriria";
    case Status::Kind::kFolderMarked:
      return "la carpeta és només per afegir o immutable (chattr +a o +i): no s'hi pot substituir "
             "cap fitxer";
    case Status::Kind::kOther:
      break;
  }
  return "error desconegut";
}

// The reason a status is reported with: its kind's text followed by the
// system's own wording in brackets when there is one; a failure of no known
// kind is named by the system's wording alone.
std::string describe_status(const Status& status);

}  // namespace invoice

#endif  // INVOICE_DRIVER_MESSAGES_H_
