#pragma once
// Texts for people in the user's language. The texts in the code are the source texts and are
// what the program shows where no catalogue applies (the C locales, languages without one).
// A catalogue is a GNU gettext .mo file; both front ends translate finished texts where they
// show them (a caption, a status line, a message, a printed row), never the files written for
// programs. A catalogue entry either matches a whole text, or is a pattern whose %1 ... %9 stand
// for the numbers, paths and inner texts a text was built with ("读取位置%1错误").
//
// Load once at start, before any job thread runs; Translate may then be called from any thread.
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/StartOptions.h"

namespace brenvik {

// The catalogue names to try, best first, for the locale the environment names the way gettext
// reads it: LANGUAGE (a colon list) before LC_ALL, LC_MESSAGES, LANG; a C or POSIX locale means
// the source texts, whatever LANGUAGE says. "zh_TW.UTF-8" gives "zh_TW", "zh", then "zh_CN"
// (every Chinese locale may read the Simplified catalogue); "en_GB" gives "en_GB", "en".
std::vector<std::string> CatalogueNamesForLocale(const EnvironmentLookup& environment);

// Reads a .mo file and makes it the catalogue in use; false (and no catalogue) when it cannot be
// read or is not a catalogue.
bool LoadCatalogueFile(const std::filesystem::path& moFile);
// The same from the bytes of a .mo file (the file reader's core, also for the fuzz target).
bool LoadCatalogueBytes(std::string_view bytes);
// Loads <folder>/<name>/LC_MESSAGES/brenvik.mo for the first name and folder that has one.
// Returns the name loaded, or empty (source texts) when none applies.
std::string LoadCatalogueForLocale(const std::vector<std::filesystem::path>& folders,
                                   const EnvironmentLookup& environment);
// Back to the source texts.
void UnloadCatalogue();
// The name of the catalogue in use ("en", "zh_CN"), empty for the source texts.
const std::string& CatalogueName();

// The folders a program looks in for catalogues: $BRENVIK_LOCALEDIR, then beside the installed
// program (<prefix>/share/locale for <prefix>/bin/program), then the build tree's (<build>/locale).
std::vector<std::filesystem::path> CatalogueFolders(const std::filesystem::path& executable,
                                                    const EnvironmentLookup& environment);
// What a program does at start: the catalogue for the process's locale, from the folders above.
std::string LoadCatalogueForProcess();

// The text in the user's language: the catalogue's entry for the whole text, else the most
// specific pattern it fits (the parts it was built with translated in turn), else line by line
// for a text of several lines; the text itself where nothing fits or no catalogue is loaded.
std::u16string Translate(std::u16string_view text);
std::string TranslateUtf8(std::string_view text);

}  // namespace brenvik
