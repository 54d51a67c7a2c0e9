"""Runs corpus cases in one interpreter and prints one JSON outcome per line.

    python child.py CASES.json START [--own-gil]

With --own-gil the cases run in a subinterpreter with its own GIL (3.14 on),
which prints to the same output.

CASES.json holds a world's setup code and its cases; the cases from START on
are run in order. Every line is flushed as soon as the case ends, so when the
interpreter dies the parent knows which case killed it.
"""
import ast
import json
import re
import struct
import sys

ADDRESS = re.compile(r"0x[0-9a-fA-F]+")


def bits(x):
    return struct.pack("<d", x).hex()


def text(x):
    """str(x) without the addresses that differ from one process to the next."""
    try:
        return ADDRESS.sub("0x?", str(x))
    except Exception as e:  # noqa: BLE001 - a str() that raises is an outcome too
        return "<str raised %s>" % type(e).__name__


def describe(x, depth=0):
    """The outcome of a case in a form that compares floats by their bits."""
    t = type(x)
    name = "%s.%s" % (t.__module__, t.__qualname__)
    if isinstance(x, float):
        return [name, bits(x)]
    if isinstance(x, (bool, int, str, type(None))):
        return [name, text(x)]
    if isinstance(x, (tuple, list)) and depth < 3:
        return [name, [describe(i, depth + 1) for i in x]]
    fields = []
    for field in ("val", "d", "x", "y", "z"):
        try:
            v = object.__getattribute__(x, field)
        except Exception as e:  # noqa: BLE001
            v = type(e).__name__
        fields.append(bits(v) if isinstance(v, float) else text(v))
    return [name, text(x), fields]


def run(code, namespace):
    tree = ast.parse(code)
    last = tree.body.pop() if tree.body and isinstance(tree.body[-1], ast.Expr) else None
    exec(compile(tree, "<case>", "exec"), namespace)
    if last is None:
        return None
    return eval(compile(ast.Expression(last.value), "<case>", "eval"), namespace)


def main():
    with open(sys.argv[1]) as f:
        world = json.load(f)
    start = int(sys.argv[2])
    status = []
    sys.addaudithook(lambda event, args: status.extend(args) if event == "orbelon_core.fast_paths" else None)
    namespace = {}
    exec(world["setup"], namespace)
    print(json.dumps({"build": status}), flush=True)
    for case in world["cases"][start:]:
        try:
            outcome = ["ok", describe(run(case, namespace))]
        except BaseException as e:  # noqa: BLE001 - the exception is the outcome
            outcome = ["raise", "%s.%s" % (type(e).__module__, type(e).__qualname__), text(e)]
        print(json.dumps(outcome), flush=True)


def main_in_subinterpreter():
    import os
    from concurrent import interpreters
    interpreter = interpreters.create()
    interpreter.exec("import sys\nsys.argv = %r\nsys.path.insert(0, %r)\nimport child\nchild.main()\n"
                     % (sys.argv[:3], os.path.dirname(os.path.abspath(__file__))))
    interpreter.close()


if __name__ == "__main__":
    main_in_subinterpreter() if sys.argv[3:] == ["--own-gil"] else main()
