// The settings store: what other layers include to read and write the
// program's settings file. TMemIniFile is the store; THashedStringList and
// TStringHash are the indexed line lists it rests on; Settings.h names the
// file and holds the main window's read and write steps.
#pragma once

#include "store/CustomIniFile.h"
#include "store/HashedStringList.h"
#include "store/MemIniFile.h"
#include "store/Settings.h"
#include "store/StringHash.h"
#include "store/StringList.h"
