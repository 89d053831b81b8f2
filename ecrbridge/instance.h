// The single ECR object shared by every exported function.
#pragma once

class CVarkoClass2017;

// The instance, created on first use (the first exported call of any kind).
// Takes no lock: the application makes its first call from one thread.
CVarkoClass2017* GetInstanse();
// Forget the instance (after destroy_object released it).
void ResetInstanse(CVarkoClass2017* released);
