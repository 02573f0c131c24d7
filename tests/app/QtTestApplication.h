// One QApplication for a whole test program, made before the first test (a
// TApplication made by a test then uses it), plus the argument vector tests
// hand to TApplication.
#pragma once

int& TestArgc();
char** TestArgv();
