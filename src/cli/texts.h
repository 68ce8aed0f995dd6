// Every fixed text of gemmel, byte for byte: what it prints, the names of the
// profile files, the keys it looks for and the directories it swaps.
#ifndef GEMMEL_CLI_TEXTS_H_
#define GEMMEL_CLI_TEXTS_H_

#include <array>
#include <string_view>

namespace gemmel::texts {

// Help and diagnostics (standard output).
inline constexpr std::string_view kTitle = "Gemmel";
inline constexpr std::string_view kHelpOption = "--help";
inline constexpr std::string_view kVersionOption = "--version";
inline constexpr std::string_view kProgram = "gemmel ";
inline constexpr std::array<std::string_view, 11> kHelp = {
    "Cambia i percorsi dei file di configurazione di Mozilla\n",
    "in modo da usare la stessa cartella per la versione di Windows e di "
    "Linux\n\n",
    "uso:\n",
    "\tgemmel [windir] [linuxdir] [ambiente] [modo]\n",
    "con:\n",
    "\t[windir]:\tpercorso completo della cartella windows di mozilla\n",
    "\t\t\t(es. d:\\documenti\\mozilla\\default\\asd6dhre.slt\\)\n",
    "\t[linuxdir]:\tpercorso completo della cartella linux di mozilla\n",
    "\t\t\t(es. /mnt/D/mozilla/default/asd6dhre.slt/)\n",
    "\t[ambiente]:\twin (windows), linux (linux)\n",
    "\t[modo]:\t\twin (da linux a windows), linux (da windows a linux)\n",
};
inline constexpr std::array<std::string_view, 4> kWrongCount = {
    "Numero di parametri errato!",
    "Scrivi:",
    "\tgemmel --help",
    "per l'help",
};
// After the reminder on standard output, on standard error, where an
// argument looks like a Windows folder whose backslashes the shell took.
inline constexpr std::string_view kQuoteWindir =
    "La cartella windows va scritta tra apici singoli: 'D:\\...\\'";
inline constexpr std::string_view kUnknownParameter = "Parametro sconosciuto";
inline constexpr std::string_view kDoneToWindows =
    "Esportazione linux->windows terminata!";
inline constexpr std::string_view kDoneToLinux =
    "Esportazione windows->linux terminata!";

// After the completion message of a run that changed no file, where prefs.js
// holds the folder converted to (standard error).
inline constexpr std::string_view kAlreadyConverted =
    "Nessun file modificato: il profilo e' gia' in questa forma";

// The browser holds the profile's lock (standard error), followed by the
// path of the lock's file: nothing is read or written.
inline constexpr std::string_view kProfileOpen =
    "Il profilo e' aperto nel browser: chiudilo e ripeti la conversione";
// After the failures of a run that left every profile file as it was
// (standard error).
inline constexpr std::string_view kNothingChanged =
    "Nessun file modificato: il profilo resta com'era";

// Failures of one profile file (standard error); each is followed by a path.
inline constexpr std::string_view kCannotRead = "Impossibile leggere il file";
inline constexpr std::string_view kCannotBackUp =
    "Impossibile scrivere la copia di sicurezza, file non modificato";
inline constexpr std::string_view kTooLarge =
    "Il file convertito raggiungerebbe 2 GiB, file non modificato";
inline constexpr std::string_view kBusy =
    "File in uso da un'altra conversione, file non modificato";
inline constexpr std::string_view kChanged =
    "Il file e' cambiato durante la conversione, file non modificato";
inline constexpr std::string_view kNoMemory =
    "Memoria insufficiente, file non modificato";
inline constexpr std::string_view kFolderAbsent =
    "La cartella di origine non compare nel file, file non modificato";
// The source folder occurs in the file only as the folder above a profile
// named like the target's last folder: the two folders are one level apart.
inline constexpr std::string_view kTwoProfiles =
    "Le due cartelle non indicano lo stesso profilo, file non modificato";
// Begins the line after the path of kFolderAbsent and kTwoProfiles, followed
// by the folder as the file would store it.
inline constexpr std::string_view kFolderSought = "Cartella cercata: ";
inline constexpr std::string_view kNotWritable =
    "Impossibile scrivere il file, file non modificato";
inline constexpr std::string_view kInterrupted =
    "Conversione precedente interrotta, l'originale e' in";
inline constexpr std::string_view kNotDurable =
    "Sincronizzazione non riuscita, la conversione potrebbe non essere ancora "
    "sul disco";

// Folders refused before anything is opened (standard error); each is
// followed by the argument as given.
inline constexpr std::string_view kWindirUnterminated =
    "La cartella windows deve finire con una barra rovesciata";
inline constexpr std::string_view kLinuxdirUnterminated =
    "La cartella linux deve finire con una barra";
inline constexpr std::string_view kWindirNotFull =
    "La cartella windows deve essere un percorso completo";
inline constexpr std::string_view kLinuxdirNotFull =
    "La cartella linux deve essere un percorso completo";
// Begins the line after the path when a system call failed, followed by the
// system's description of the error.
inline constexpr std::string_view kReason = "Motivo: ";
// The reason of a backup refused because another name of the run is its
// file, followed by that name's path.
inline constexpr std::string_view kSameFile = "e' lo stesso file di ";

// Values of `ambiente` and `modo`.
inline constexpr std::string_view kWindows = "win";
inline constexpr std::string_view kLinux = "linux";

// The profile files, in the order they are written.
inline constexpr std::string_view kPanacea = "panacea.dat";
inline constexpr std::string_view kPrefs = "prefs.js";
// The file beside them that the browser locks while it has the profile open.
inline constexpr std::string_view kProfileLock = ".parentlock";

// What the recipes look for.
inline constexpr std::string_view kSlash = "/";
inline constexpr std::string_view kEscapedSeparator = "\\\\";
inline constexpr std::string_view kCacheDirectoryKey =
    "browser.cache.disk.parent_directory";
inline constexpr std::string_view kSearchEngineKey =
    "browser.search.defaultengine";
inline constexpr std::string_view kNewsrcRootKey = "mail.newsrc_root";
inline constexpr std::string_view kStatementEnd = ");";
// C:\PROGRA~1\MOZILLA.ORG\MOZILLA\searchplugins\ as the browser stores it.
inline constexpr std::string_view kWindowsSearchplugins =
    "C%3A%5CPROGRA%7E1%5CMOZILLA.ORG%5CMOZILLA%5Csearchplugins%5C";
inline constexpr std::string_view kLinuxSearchplugins =
    "/usr/local/mozilla/searchplugins/";

}  // namespace gemmel::texts

#endif  // GEMMEL_CLI_TEXTS_H_
