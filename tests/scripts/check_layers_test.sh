#!/usr/bin/env bash
# Runs scripts/check-layers over made-up trees: each case builds a tree, runs the check and
# compares its exit status and output with what the case expects.
set -uo pipefail
python="$1"
check="$2"
failures=0
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# A tree with platform_a < platform_b (public), core over platform_b, hub over core; every
# include declared.
make_tree() {
  rm -rf "$root/t" && mkdir -p "$root/t"
  cd "$root/t" || exit 1
  mkdir -p src/platform/a src/platform/b src/platform/c src/core/hub tests/core
  echo 'add_project_library(platform_a SRCS a.cpp)' > src/platform/a/CMakeLists.txt
  echo 'add_project_library(platform_b SRCS b.cpp DEPS platform_a PRIVATE_DEPS platform_c)' > src/platform/b/CMakeLists.txt
  echo 'add_project_library(platform_c SRCS c.cpp)' > src/platform/c/CMakeLists.txt
  printf 'add_project_library(noxtal_core\n  SRCS x.cpp\n  DEPS platform_b)  # a comment (with parentheses)\n' > src/core/CMakeLists.txt
  echo 'add_project_library(noxtal_hub SRCS h.cpp DEPS noxtal_core)' > src/core/hub/CMakeLists.txt
  echo 'add_project_test(core_x_test SRCS x_test.cpp DEPS noxtal_core LABELS core)' > tests/core/CMakeLists.txt
  touch src/platform/a/a.hpp src/platform/c/c.hpp
  printf '#include "platform/a/a.hpp"\n#include "platform/c/c.hpp"\n' > src/platform/b/b.hpp
  printf '#include "core/x.hpp"\n#include <vector>\n' > src/core/x.cpp
  printf '#include "platform/b/b.hpp"\n#include "platform/a/a.hpp"\n' > src/core/x.hpp
  printf '#include "core/x.hpp"\n' > src/core/hub/h.hpp
  printf '#include "core/x.hpp"\n#include "platform/a/a.hpp"\n' > tests/core/x_test.cpp
}

# expect NAME STATUS PATTERN: the check exits with STATUS and its output matches PATTERN
# (an extended regular expression; "" for no output at all).
expect() {
  local name="$1" status="$2" pattern="$3" output code
  output=$("$python" "$check" "$root/t" 2>&1)
  code=$?
  if [ "$code" -ne "$status" ]; then
    echo "FAIL $name: exit status $code, expected $status; output: $output"
    failures=$((failures + 1))
  elif [ -z "$pattern" ] && [ -n "$output" ]; then
    echo "FAIL $name: expected no output, got: $output"
    failures=$((failures + 1))
  elif [ -n "$pattern" ] && ! grep -Eq "$pattern" <<<"$output"; then
    echo "FAIL $name: output does not match /$pattern/: $output"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

make_tree
expect "declared and layered includes pass" 0 ""

make_tree
printf '#include "core/hub/h.hpp"\n' >> src/core/x.cpp
expect "core including a hub header" 1 "src/core/x.cpp: includes core/hub/h.hpp of the hub layer, above its own core layer"

make_tree
mkdir -p src/speech && echo 'add_project_library(vostrane SRCS s.cpp DEPS noxtal_hub)' > src/speech/CMakeLists.txt
touch src/speech/s.hpp
printf '#include "speech/s.hpp"\n' > src/platform/a/a.cpp
expect "platform including a speech header" 1 "src/platform/a/a.cpp: includes speech/s.hpp of the speech layer, above its own platform layer"

make_tree
printf '#include "platform/c/c.hpp"\n' >> src/core/x.cpp
expect "a private dependency of a dependency is not visible" 1 \
  "src/core/x.cpp: target noxtal_core includes platform/c/c.hpp of platform_c, which it does not list"

make_tree
printf '#include "core/hub/h.hpp"\n' >> tests/core/x_test.cpp
expect "a test using a library it does not list" 1 \
  "tests/core/x_test.cpp: target core_x_test includes core/hub/h.hpp of noxtal_hub, which it does not list"

make_tree
echo 'add_project_test(core_x_test SRCS x_test.cpp DEPS noxtal_hub LABELS core)' > tests/core/CMakeLists.txt
expect "a public dependency chain reaches platform_a" 0 ""

make_tree
echo 'add_project_test(core_x_test SRCS x_test.cpp DEPS platform_a LABELS core)' > tests/core/CMakeLists.txt
expect "a test that lists too little" 1 "target core_x_test includes core/x.hpp of noxtal_core"

make_tree
printf 'add_project_test(platform_c_test SRCS c_test.cpp DEPS platform_c LABELS x)\n' >> src/platform/c/CMakeLists.txt
printf '#include "platform/c/c.hpp"\n#include "platform/a/a.hpp"\n' > src/platform/c/c_test.cpp
expect "a test inside a library folder is checked as the test" 1 \
  "src/platform/c/c_test.cpp: target platform_c_test includes platform/a/a.hpp of platform_a"

make_tree
printf 'set(CORE_SRCS x.cpp)\nadd_executable(tool ${CORE_SRCS} main.cpp)\ntarget_link_libraries(tool PRIVATE platform_a)\n' \
  > tests/core/CMakeLists.txt
printf '#include "core/x.hpp"\n' > tests/core/main.cpp
expect "an executable linking too little" 1 "tests/core/main.cpp: target tool includes core/x.hpp of noxtal_core"

make_tree
printf '#include "core/hub/h.hpp"\n' > tests/core/helper.hpp
printf '#include "core/helper.hpp"\n' >> tests/core/x_test.cpp
expect "a helper header beside a test counts for the test" 1 \
  "tests/core/x_test.cpp: target core_x_test includes core/hub/h.hpp of noxtal_hub"

if [ "$failures" -ne 0 ]; then
  echo "$failures case(s) failed"
  exit 1
fi
