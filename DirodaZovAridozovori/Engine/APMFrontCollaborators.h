#pragma once
// The collaborators the front starts the process with (APMEngineComponents.h lists what joins each
// engine).

#include "Front/APMFrontCollaborator.h"

// A fresh set of the front's collaborators, in the order the front calls them.
APMFrontCollaboratorList APMMakeFrontCollaborators();
