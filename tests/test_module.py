"""The _corvane module's calling conventions, conversions and errors."""

import sys

import pytest

import _corvane

VALID = dict(wlits=[(1, 2), (2, 3), (3, 2)], groups=[[1, 2], [3]], bound=3, top_id=3, encoder="mdd", emit_amo=False)


def call(**changes):
    args = dict(VALID, **changes)
    return _corvane.encode_leq(**args)


def test_module_surface():
    assert _corvane.__doc__ == "CORVANE structured pseudo-Boolean encoders for Ostrel"
    assert _corvane.encode_leq.__doc__.startswith("Encode one grouped <= pseudo-Boolean constraint.\n")
    assert _corvane.encode_leq.__text_signature__ == "(wlits, groups, bound, top_id, encoder, emit_amo)"
    assert _corvane.available_encoders.__doc__ == "Return the list of encoder names."
    assert _corvane.available_encoders() == ["mdd", "gswc", "ggpw", "gmto", "rggt"]
    table = _corvane.encoder_table()
    assert [row[0] for row in table] == _corvane.available_encoders()
    assert [getattr(_corvane, row[1]) for row in table] == _corvane.available_encoders()
    assert {row[3] for row in table} <= {"count", "build", "measure"}
    assert _corvane.available_encoders() is not _corvane.available_encoders()


def test_positional_and_keyword_arguments_agree():
    positional = _corvane.encode_leq(*VALID.values())
    assert positional == call()
    assert positional == ([[-6], [-3, 4], [-3, 5], [-4, -1, 6], [-5, -2, 6]], 6)
    mixed = _corvane.encode_leq(VALID["wlits"], VALID["groups"], 3, encoder="mdd", emit_amo=0, top_id=3)
    assert mixed == positional


def test_empty_constraint():
    assert _corvane.encode_leq([], [], 0, 0, "mdd", False) == ([], 0)


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(wlits=((1, 2),)), "wlits must be a list of (lit, weight) pairs"),
        (dict(groups=([1, 2], [3])), "groups must be a list of literal lists"),
        (dict(wlits=[(1, 2, 0), (2, 3), (3, 2)]), "each weighted literal must be a tuple (lit, weight)"),
        (dict(wlits=[[1, 2], (2, 3), (3, 2)]), "each weighted literal must be a tuple (lit, weight)"),
        (dict(wlits=[(1,), (2, 3), (3, 2)]), "each weighted literal must be a tuple (lit, weight)"),
        (dict(groups=[(1, 2), [3]]), "each group must be a list of literals"),
        # shape errors win over an unknown encoder name
        (dict(wlits=((1, 2),), encoder="nope"), "wlits must be a list of (lit, weight) pairs"),
        (dict(wlits=[(1, 2, 3)], encoder="nope"), "each weighted literal must be a tuple (lit, weight)"),
        (dict(groups=[[1, 2], 3], encoder="nope"), "each group must be a list of literals"),
        # wlits is checked before groups
        (dict(wlits=None, groups=None), "wlits must be a list of (lit, weight) pairs"),
    ],
)
def test_shape_errors(changes, message):
    with pytest.raises(TypeError) as info:
        call(**changes)
    assert str(info.value) == message


def test_non_str_encoder_is_the_interpreters_type_error():
    # The name is read before the items, so it wins over a malformed item.
    with pytest.raises(TypeError) as info:
        call(encoder=b"mdd", wlits=[(1, 2, 3)])
    assert str(info.value) != "each weighted literal must be a tuple (lit, weight)"
    with pytest.raises(TypeError):
        call(encoder=None)


@pytest.mark.parametrize("name", ["MDD", "Mdd", "mdd ", "md", "", "rggt2"])
def test_unknown_encoder_name(name):
    with pytest.raises(RuntimeError, match="^quillet: unknown encoder name$"):
        call(encoder=name)


def test_missing_and_wrongly_typed_arguments():
    with pytest.raises(TypeError):
        _corvane.encode_leq([], [], 0, 0, "mdd")
    with pytest.raises(TypeError):
        call(top_id="3")
    with pytest.raises(TypeError):
        call(bound=3.0)
    with pytest.raises(TypeError):
        call(wlits=[(1.0, 2), (2, 3), (3, 2)])
    with pytest.raises(TypeError):
        call(wlits=[(1, 2.0), (2, 3), (3, 2)])


@pytest.mark.parametrize(
    "changes",
    [
        dict(wlits=[(2**32 + 1, 2), (2, 3), (3, 2)]),
        dict(wlits=[(-(2**31), 2), (2, 3), (3, 2)]),
        dict(wlits=[(2**31, 2), (2, 3), (3, 2)]),
        dict(wlits=[(10**30, 2), (2, 3), (3, 2)]),
        dict(groups=[[1, 2**32 + 2], [3]]),
        dict(groups=[[1, 2], [-(2**31)]]),
    ],
)
def test_literals_outside_32_bits_are_refused_not_truncated(changes):
    with pytest.raises(OverflowError, match=r"^literal -?\d+ is out of range"):
        call(**changes)


def test_literal_range_edges_are_accepted():
    top = 2**31 - 1
    clauses, new_top = _corvane.encode_leq([(top, 1), (-top, 1)], [[top, -top]], 10, top, "mdd", True)
    assert (clauses, new_top) == ([[-top, top]], top)


@pytest.mark.parametrize("bound", [-1, 2**64, -(2**70)])
def test_bound_outside_64_bits_is_refused(bound):
    with pytest.raises(OverflowError, match="^bound -?\\d+ is out of range"):
        call(bound=bound)


def test_largest_bound_is_accepted():
    assert call(bound=2**64 - 1) == ([], 3)


@pytest.mark.parametrize("weight", [-1, 2**64])
def test_weight_outside_64_bits_is_the_interpreters_overflow_error(weight):
    with pytest.raises(OverflowError):
        call(wlits=[(1, weight), (2, 3), (3, 2)])


def test_top_id_range():
    with pytest.raises(RuntimeError, match="^quillet: top_id must be non-negative$"):
        call(top_id=-1)
    with pytest.raises(OverflowError):
        call(top_id=2**31)
    # validation is reported before the negative top_id
    with pytest.raises(RuntimeError, match="^quillet: AMO groups must be non-empty$"):
        call(top_id=-1, groups=[[1, 2], [3], []])


def test_running_out_of_variable_ids_is_a_clean_error():
    with pytest.raises(RuntimeError, match="^quillet: variable ids exhausted"):
        call(top_id=2**31 - 2)


VALIDATION = [
    ([(1, 0)], [[1]], "quillet: normalized form requires positive weights"),
    ([(0, 0)], [[0]], "quillet: literal id 0 is invalid"),
    ([(2**32, 1)], [[1]], None),  # refused by the module before validation
    ([(1, 2), (1, 3)], [[1]], "quillet: duplicate literals in weighted terms are not supported"),
    ([(1, 1)], [[], [1]], "quillet: AMO groups must be non-empty"),
    ([(1, 1)], [[1, 2]], "quillet: AMO group references a literal not present in terms"),
    ([(1, 1), (2, 1)], [[1, 1, 2]], "quillet: AMO groups must form a partition of the literals"),
    ([(1, 1), (2, 1)], [[1]], "quillet: every weighted literal must appear in exactly one AMO group"),
]


@pytest.mark.parametrize("wlits, groups, message", [v for v in VALIDATION if v[2]])
@pytest.mark.parametrize("encoder", _corvane.available_encoders())
def test_validation_messages_reach_python(encoder, wlits, groups, message):
    with pytest.raises(RuntimeError) as info:
        _corvane.encode_leq(wlits, groups, 1, 5, encoder, True)
    assert str(info.value) == message


class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


class Broken:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


def test_emit_amo_uses_the_truth_value():
    with_amo = call(emit_amo=Truthy(True))
    assert with_amo[0][0] == [-1, -2]
    assert call(emit_amo=Truthy(False)) == call(emit_amo=[])
    assert call(emit_amo="x") == with_amo
    with pytest.raises(ZeroDivisionError):
        call(emit_amo=Broken())


class MyList(list):
    pass


class MyTuple(tuple):
    pass


class MyInt(int):
    pass


class MyStr(str):
    pass


def test_subclasses_are_accepted():
    result = _corvane.encode_leq(
        MyList([MyTuple((MyInt(1), MyInt(2))), (2, 3), (3, 2)]),
        MyList([MyList([1, 2]), [MyInt(3)]]),
        MyInt(3),
        MyInt(3),
        MyStr("mdd"),
        False,
    )
    assert result == call()


class Shrinking:
    """An int-like literal whose conversion empties the list that holds it."""

    def __init__(self, value, victim):
        self.value, self.victim = value, victim

    def __index__(self):
        self.victim.clear()
        return self.value


def test_list_mutated_during_conversion_does_not_crash():
    group = []
    group += [Shrinking(1, group), 2]
    with pytest.raises(RuntimeError, match="quillet: every weighted literal"):
        call(groups=[group, [3]])
    wlits = [(1, 2), (2, 3), (3, 2)]
    wlits[0] = (Shrinking(1, wlits), 2)
    with pytest.raises(RuntimeError, match="quillet: AMO group references"):
        call(wlits=wlits)


def test_no_reference_leaks_on_success_and_error_paths():
    wlits = [(1, 2), (2, 3), (3, 2)]
    groups = [[1, 2], [3]]
    name = "mdd" + str(sys.maxsize)[:0]
    bad_items = [(1, 2, 3)]
    tracked = [wlits, groups, name, bad_items, wlits[0], groups[0]]
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(2000):
        _corvane.encode_leq(wlits, groups, 3, 3, name, True)
        for changes in (dict(encoder="nope"), dict(wlits=bad_items), dict(bound=-1), dict(top_id=-1)):
            args = dict(wlits=wlits, groups=groups, bound=3, top_id=3, encoder=name, emit_amo=True)
            args.update(changes)
            with pytest.raises((RuntimeError, TypeError, OverflowError)):
                _corvane.encode_leq(**args)
    del args
    assert [sys.getrefcount(o) for o in tracked] == before


def test_result_objects_are_fresh_and_independent():
    clauses, _ = call()
    clauses[0].append(99)
    assert call()[0][0] == [-6]
