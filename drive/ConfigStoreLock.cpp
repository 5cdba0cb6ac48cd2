#include "ConfigStoreLock.h"

std::unique_lock<std::mutex> LockConfigStore()
{
    static std::mutex configStoreMutex;
    return std::unique_lock<std::mutex>(configStoreMutex);
}
