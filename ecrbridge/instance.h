// The single ECR object shared by every exported function, and the count of
// the exported calls that are using it, so that destroy_object frees it only
// once none is.
#pragma once

class CVarkoClass2017;

// The instance, created on first use (the first exported call of any kind).
CVarkoClass2017* GetInstanse();

// One exported call's use of the instance: taken at the start of the call,
// given back at its end.  destroy_object waits until every use of the object
// it frees has been given back.
class InstanceUse {
public:
    InstanceUse();
    ~InstanceUse();
    InstanceUse(const InstanceUse&) = delete;
    InstanceUse& operator=(const InstanceUse&) = delete;
    CVarkoClass2017* get() const { return m_ecr; }
    CVarkoClass2017* operator->() const { return m_ecr; }
    CVarkoClass2017& operator*() const { return *m_ecr; }

private:
    CVarkoClass2017* m_ecr;
};

// True while this thread is inside an exported call (a callback of an
// operation that runs on the caller's thread, for one).
bool ThreadUsesInstance();

// Takes the object out of use: nothing new starts on it, and the next
// exported call creates a new one.  Checks and retires under one lock, so
// that a pointer freed by another thread is never touched.
enum class RetireResult { Retired, NotInstance, InUse };
RetireResult RetireInstance(CVarkoClass2017* object);
// Waits until no exported call uses the retired object any more.
void WaitRetiredUnused();
