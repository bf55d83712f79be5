#include <windows.h>

// Stays running so a test can try to replace its executable.
int main() {
    Sleep(60000);
    return 0;
}
