// The settings store: what other layers include to read and write the
// program's settings file. TMemIniFile is the store; THashedStringList and
// TStringHash are the indexed line lists it rests on; Settings.h names the
// file and holds the main window's read and write steps.
#pragma once

#include "CustomIniFile.h"
#include "HashedStringList.h"
#include "MemIniFile.h"
#include "Settings.h"
#include "StringHash.h"
#include "StringList.h"
