// The Windows service control manager as a ServiceManager: one connection to the manager and one
// handle of the service, both closed when the object goes. Prints nothing; the reasons are the
// system's texts. Windows only; used by the one thread of a management action.
#pragma once

#include <memory>
#include <string>

#include "service/ServiceManager.h"

namespace quorvane {

// The manager for the service named `serviceName`: it creates an own-process service that starts
// automatically, its program quoted, as LocalSystem unless an account is given, and waits a
// second between two state queries.
std::unique_ptr<ServiceManager> serviceControlManager(const std::string& serviceName);

}  // namespace quorvane
