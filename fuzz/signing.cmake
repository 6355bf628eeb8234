# The signing area's parsers: requirement text and seals, both read from
# whatever a caller or a bundle supplies.
vorsel_fuzzer(fuzz_requirement FuzzRequirement.cpp
    "${root}/Platform/Linux/Signing/Requirement.cpp")
vorsel_fuzzer(fuzz_seal FuzzSeal.cpp
    "${root}/Platform/Linux/Signing/Seal.cpp"
    "${root}/Platform/Linux/Signing/BundleTree.cpp"
    "${root}/Platform/Linux/Signing/SealFiles.cpp"
    "${root}/Platform/Linux/Runtime/FileDescriptors.cpp"
    "${root}/Platform/Linux/Runtime/PosixError.cpp")
find_package(OpenSSL 3 REQUIRED)
target_link_libraries(fuzz_seal PRIVATE OpenSSL::Crypto)
