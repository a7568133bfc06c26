// Reading the Windows Time policy values of the machine the registry layer focuses on.
#pragma once

#include "config/policy_settings.h"

// Fills policy from SOFTWARE\Policies\Microsoft\W32Time of the focused machine (local or
// remote): every value of PolicyValueTable as stored. Missing keys and values read as absent.
void ReadPolicyValues(PolicyValues* policy);
