// The console: formatted output and error reports.
#pragma once

int ozmPrintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Writes "text" as an error report line.
void ozmPerror(const char* text);
