// The names of the link, in one place for the agent and its callers: the
// object and interface the agent serves (described, with the methods, by
// packaging/com.ordwyn.GuardLink.xml, from which the service's adaptor and
// the callers' proxy are generated at build time). Any thread.
#pragma once

namespace vorsel::linux_platform {

inline constexpr const char* kLinkPath = "/com/ordwyn/Guard";
inline constexpr const char* kLinkInterface = "com.ordwyn.GuardLink";

}  // namespace vorsel::linux_platform
