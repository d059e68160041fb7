// The plug-in's string table as the native build carries it: generated from the resource script,
// so the script stays the single source of every text.
#pragma once

#include "strclass.h"

struct StringTableEntry {
  int id;
  const MCHAR* text;
};

extern const StringTableEntry kStringTable[];
extern const int kStringTableSize;

// The text of a string id, or null when the table has none. The loader below copies from here.
const MCHAR* FindStringTableText(int id);
