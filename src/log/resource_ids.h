#pragma once
// String table entries of the program's resources.
#define IDS_UNKNOWN_ERROR 106
