// Inside the library entry: the factory that makes managers by engine type,
// and the base every registered instance has, so the registry can destroy it.
#ifndef TW_NETWORKEX_H
#define TW_NETWORKEX_H

#include "vxnet/ISocketMgr.h"

// Every object vxCreateInstance hands out: a manager (TW_SocketMgr) or a
// container. The destructor follows the 33 interface slots.
class TW_SocketMgrInstance : public ISocketMgr {
public:
    virtual ~TW_SocketMgrInstance() = default;
    // True (with one printed line) when destroying the instance now would
    // pull it from under the calling thread: a callback of its own.
    virtual bool RefuseDestroyHere() { return false; }
};

// Engine type codes of CreateSocketMgr.
enum {
    SOCKETMGR_SELECT = 1,
    SOCKETMGR_ASYNC = 2,
    SOCKETMGR_IOCP = 3,
    SOCKETMGR_RECORD = 5
};

typedef TW_SocketMgrInstance* (*SocketMgrFactory)(bool bRecord);
typedef TW_SocketMgrInstance* (*ContainerFactory)(const char* lpszName);

// Makes the engine of a type code, stores the record flag and sets the sink.
// Null for an unknown code or an engine that is not built.
ISocketMgr* CreateSocketMgr(int nType, ISocketMgrSink* lpSink, bool bRecord);

// The engines' constructors by type code, and the container's. Replacing one
// returns the previous; tests use this to register stand-ins.
SocketMgrFactory SetSocketMgrFactory(int nType, SocketMgrFactory pfn);
ContainerFactory SetContainerFactory(ContainerFactory pfn);

// Registry sizes, for tests.
int GetRegisteredSocketMgrCount();
int GetRegisteredContainerCount();

#endif
