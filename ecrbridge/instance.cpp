// The single ECR object shared by every exported function.
#include "ecrbridge/instance.h"

#include "VarkoClass2017/VarkoClass2017.h"

namespace {
CVarkoClass2017* p_CVarkoClass2017 = nullptr;
}

CVarkoClass2017* GetInstanse()
{
    if (p_CVarkoClass2017 == nullptr)
        p_CVarkoClass2017 = new CVarkoClass2017();
    return p_CVarkoClass2017;
}

void ResetInstanse(CVarkoClass2017* released)
{
    if (released != nullptr && released == p_CVarkoClass2017)
        p_CVarkoClass2017 = nullptr;
}
