// The demo: names every interface the library knows and shows which of them
// this build can create.
#include <cstdio>

#include "vxnet/vxnet.h"

int main() {
    vxInitialize();
    std::printf("%-22s %s\n", "interface", "created");
    char szName[VXNET_INTERFACE_NAME_SIZE];
    int nCreated = 0;
    for (uint32_t i = 0; vxGetInterfaceName(i, szName); ++i) {
        ISocketMgr* lpMgr = vxCreateInstance(szName);
        std::printf("%-22s %s\n", szName, lpMgr ? "yes" : "not yet built");
        if (lpMgr) {
            ++nCreated;
            vxDestroyInstance(lpMgr);
        }
    }
    std::printf("%d interfaces can be created\n", nCreated);
    vxUninitialize();
    return 0;
}
