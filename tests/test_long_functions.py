"""tools/long_functions.py measures C++ function bodies the way an outline shows them."""

import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
TOOL = REPO / "tools" / "long_functions.py"

sys.path.insert(0, str(REPO / "tools"))
import long_functions  # noqa: E402


def measured(tmp_path, source, suffix=".cpp"):
    path = tmp_path / f"f{suffix}"
    path.write_text(source)
    return [(f.name, f.line, f.lines) for f in long_functions.functions_in(path, path.name)]


# Each source and the functions it defines: (name, line of the name, lines from there to
# the closing brace), counted by hand.
CASES = {
    "free_function": ("int f(int a) {\n  return a;\n}\n", [("f", 1, 3)]),
    "name_below_its_template_line": (
        "template <class T>\nT g(T a) {\n  return a;\n}\n", [("g", 2, 3)]),
    "template_class_parameter_is_no_class_body": (
        "template <class Fn> Fn pick(Fn a, Fn b) {\n  return a;\n}\n", [("pick", 1, 3)]),
    "braces_in_comments_and_literals": (
        'void h() {\n  // }\n  /* { */\n  const char* s = "}}";\n  char c = \'{\';\n}\n', [("h", 1, 6)]),
    "raw_string": ('void r() {\n  auto s = R"x(a"}")x";\n}\n', [("r", 1, 3)]),
    "lambda_counts_toward_its_function": (
        "void outer() {\n  auto l = [](int x) {\n    return x;\n  };\n  l(1);\n}\n", [("outer", 1, 6)]),
    "members_count_on_their_own": (
        "struct S {\n  int a() const {\n    return 1;\n  }\nprivate:\n  int b() const {\n    return 2;\n  }\n};\n",
        [("a", 2, 3), ("b", 6, 3)]),
    "constructor_with_brace_initialisers": (
        "struct S {\n  S(int x) : a_{x}, b_(x) {\n    go();\n  }\n  int a_, b_;\n};\n", [("S", 2, 3)]),
    "qualified_out_of_class_definition": (
        "namespace n {\nint Kernel::step(int i) const noexcept {\n  return i;\n}\n}  // namespace n\n",
        [("Kernel::step", 2, 3)]),
    "multi_line_signature_counts_from_the_name": (
        "Result<int, E>\nrun(int a,\n    int b) {\n  return a + b;\n}\n", [("run", 2, 4)]),
    "initialised_tables_and_enums_are_no_functions": (
        "constexpr int k[] = {1, 2};\nenum class E { A, B };\nauto f = [](int x) {\n  return x;\n};\n", []),
    "control_braces_inside_a_function": (
        "void c(int n) {\n  for (int i = 0; i < n; ++i) {\n    if (i) {\n    }\n  }\n}\n", [("c", 1, 6)]),
    "preprocessor_lines_are_skipped": (
        "#define OPEN {\nvoid p() {\n}\n", [("p", 2, 2)]),
    "attributes_and_decltype_before_the_name": (
        "__attribute__((always_inline)) inline void a(int x) {\n}\n[[nodiscard]] int b() {\n  return 1;\n}\n"
        "decltype(auto) c(int& x) {\n  return (x);\n}\n", [("a", 1, 2), ("b", 3, 3), ("c", 6, 3)]),
    "call_operator": ("struct F {\n  int operator()(int a) const {\n    return a;\n  }\n};\n",
                      [("operator()", 2, 3)]),
}


@pytest.mark.parametrize("source,expected", CASES.values(), ids=CASES.keys())
def test_function_lengths(tmp_path, source, expected):
    assert measured(tmp_path, source) == expected


def test_lists_only_functions_over_the_limit_and_check_fails_on_them(tmp_path):
    root = tmp_path / "src"
    root.mkdir()
    body = "".join(f"  x += {i};\n" for i in range(8))
    (root / "a.cpp").write_text(f"void long_one(int x) {{\n{body}}}\nvoid short_one() {{\n}}\n")
    listed = subprocess.run([sys.executable, str(TOOL), "--over", "9", "--check", str(root)],
                            capture_output=True, text=True)
    assert listed.returncode == 1
    assert listed.stdout.splitlines() == ["   10  src/a.cpp:1  long_one", "1 functions over 9 lines"]
    quiet = subprocess.run([sys.executable, str(TOOL), "--over", "10", "--check", str(root)],
                           capture_output=True, text=True)
    assert quiet.returncode == 0
    assert quiet.stdout.splitlines() == ["0 functions over 10 lines"]


def test_no_function_in_src_runs_over_80_lines():
    long = [f for f in long_functions.scan(REPO / "src") if f.lines > 80]
    assert long == [], "split into named phases: " + ", ".join(f"{f.path}:{f.line} {f.name} ({f.lines})" for f in long)
