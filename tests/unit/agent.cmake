# The agent's logic on fake ports and a virtual clock.
add_executable(guard_agent_tests
    AgentIdleTest.cpp
    AgentHandOverTest.cpp
    AgentEnforcementTest.cpp
    AgentKeepOpenTest.cpp
    AgentMemoryTest.cpp
    AgentPauseTest.cpp)
target_link_libraries(guard_agent_tests PRIVATE guard_core guard_fakes GTest::gtest_main)
vorsel_harden(guard_agent_tests)
gtest_discover_tests(guard_agent_tests PROPERTIES LABELS unit DISCOVERY_TIMEOUT 30)
