# How the shipped shared library is linked: its file name and SONAME, the
# exported names and their version node, and the C++ runtime.

# Relocations are resolved at load time and then made read-only.
target_link_options(ecrbridge PRIVATE -Wl,-z,relro,-z,now)

# libecrbridge.so.1.0.1 with SONAME libecrbridge.so.1; the build tree keeps
# the links libecrbridge.so.1 and libecrbridge.so next to it.
set_target_properties(ecrbridge PROPERTIES
  VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
  SOVERSION ${PROJECT_VERSION_MAJOR})

# The C++ runtime (libstdc++) is linked into the object, so that the library
# loads on a till whose libstdc++ is older than the build machine's; the
# version script keeps every standard-library symbol local, so the
# application's own C++ runtime never meets ours.  --gc-sections drops the
# parts of it we do not use (std::random_device among them, which alone would
# need glibc 2.36).  libgcc stays shared: its static unwinder needs glibc 2.35,
# while libgcc_s.so.1 is on every system.  Sanitizer builds keep the shared
# runtime, whose allocation functions the sanitizers replace.
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  set(ecr_static_runtime_default OFF)
else()
  set(ecr_static_runtime_default ON)
endif()
option(ECR_STATIC_CXX_RUNTIME "Link libstdc++ into libecrbridge.so"
  ${ecr_static_runtime_default})
if(ECR_STATIC_CXX_RUNTIME)
  target_link_options(ecrbridge PRIVATE -static-libstdc++ -Wl,--gc-sections)
endif()

# The name under which programs link the library, in this tree and from the
# installed CMake package alike.
add_library(ecrbridge::ecrbridge ALIAS ecrbridge)
target_include_directories(ecrbridge INTERFACE $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>)
