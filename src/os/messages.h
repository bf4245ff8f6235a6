// The program's string table in English, German and French, embedded at
// build time. The language is chosen per thread from the installation
// record's "LanguageID"; texts are loaded by id in the calling thread's
// language. Safe from any thread.
#pragma once

#include <string>

namespace TarvMessages {

enum class Language { kEnglish, kGerman, kFrench };

// Reads "LanguageID" (exactly 4 bytes) under the machine hive's
// "SOFTWARE\Obelk\Tarv": 1 French, 2 German, anything else or no value
// English; sets the calling thread's language to it and returns it.
Language SelectLanguage();

// Sets the calling thread's language directly (tests, tools).
void SetThreadLanguage(Language language);
Language ThreadLanguage();

// The text of `id` in the calling thread's language; "" for an unknown id.
std::wstring LoadMessage(int id);
std::wstring LoadMessage(int id, Language language);

}  // namespace TarvMessages
