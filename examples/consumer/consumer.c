/* The smallest program built on QORasstW: whether the library started on this machine, and
 * the machine's serial number. Copy it, with its CMakeLists.txt, as the start of your own. */
#include <stdio.h>

#include "QORasstW.h"

int main(void) {
    char serial[64] = {0};
    int result;
    if (!AssetIsInitialized()) {
        fprintf(stderr, "consumer: QORasstW did not start on this machine\n");
        return 1;
    }
    result = AssetGetSerialNumber2(4, 0, serial); /* device type 4: the system */
    if (result != ASSET_OK) {
        fprintf(stderr, "consumer: no system serial number (result %d)\n", result);
        return 1;
    }
    printf("system serial number: %s\n", serial);
    return 0;
}
