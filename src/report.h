// The "/w" report: a line naming the Windows edition, then the raw fields of
// the version record that QueryOsVersion filled.
#ifndef ARCHVER_REPORT_H
#define ARCHVER_REPORT_H

#include "osprobe.h"

void PrintVersionReport(OsInfoKind kind);

#endif
