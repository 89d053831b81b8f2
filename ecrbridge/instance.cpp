// The single ECR object shared by every exported function.
#include "ecrbridge/instance.h"

#include <condition_variable>
#include <mutex>

#include "VarkoClass2017/VarkoClass2017.h"

namespace {

std::mutex g_lock;
std::condition_variable g_unused;
CVarkoClass2017* g_instance = nullptr;
unsigned long g_uses = 0;               // of g_instance
CVarkoClass2017* g_retired = nullptr;   // being destroyed
unsigned long g_retiredUses = 0;
thread_local unsigned int t_uses = 0;

}  // namespace

CVarkoClass2017* GetInstanse()
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_instance == nullptr)
        g_instance = new CVarkoClass2017();
    return g_instance;
}

InstanceUse::InstanceUse()
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_instance == nullptr)
        g_instance = new CVarkoClass2017();
    m_ecr = g_instance;
    ++g_uses;
    ++t_uses;
}

InstanceUse::~InstanceUse()
{
    std::lock_guard<std::mutex> lock(g_lock);
    --t_uses;
    if (m_ecr == g_instance) {
        --g_uses;
    } else if (m_ecr == g_retired && --g_retiredUses == 0) {
        g_unused.notify_all();
    }
}

bool ThreadUsesInstance()
{
    return t_uses != 0;
}

RetireResult RetireInstance(CVarkoClass2017* object)
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (object == nullptr || object != g_instance || g_retired != nullptr)
        return RetireResult::NotInstance;
    // A callback of an operation on this thread: the operation still runs on it.
    if (!object->RefuseNewClaims())
        return RetireResult::InUse;
    g_retired = object;
    g_retiredUses = g_uses;
    g_instance = nullptr;
    g_uses = 0;
    return RetireResult::Retired;
}

void WaitRetiredUnused()
{
    std::unique_lock<std::mutex> lock(g_lock);
    g_unused.wait(lock, [] { return g_retiredUses == 0; });
    g_retired = nullptr;
}
