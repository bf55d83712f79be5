#pragma once

// The one place the program's version and names are written; the resource script reads them.
#define ZIMLEX_VERSION_NUMBERS 1, 0, 0, 0
#define ZIMLEX_VERSION_TEXT "1.00"
#define ZIMLEX_PRODUCT_NAME "Update"
// Windows shows this as the program's name in the elevation prompt and Task Manager.
#define ZIMLEX_FILE_DESCRIPTION "Zimlex Update"
#define ZIMLEX_INTERNAL_NAME "ZimlexUpdate"
#define ZIMLEX_ORIGINAL_FILENAME "ZimlexUpdate.exe"
