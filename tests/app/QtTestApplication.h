// One QApplication for a whole test program, made before the first test (a
// TApplication made by a test then uses it; RunUntil runs Qt's dispatcher),
// plus the argument vector tests hand to TApplication.
#pragma once

#include <memory>
#include <string>
#include <vector>

class TApplication;

int& TestArgc();
char** TestArgv();

// A TApplication whose settings file lies in a fresh private folder (never
// beside the test program), optionally started with `arguments` after the
// program name.
std::unique_ptr<TApplication> NewTestApplication(const std::vector<std::string>& arguments = {});
