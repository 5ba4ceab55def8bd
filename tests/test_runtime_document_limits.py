"""Hostile and odd documents: size, depth and SubTree limits, includes, encodings,
parse error positions, and building while other Python threads run."""

import os
import threading

import pytest

from morvlen.core import BehaviorTreeError, BehaviorTreeFactory, DocumentLimits, TreeBuildError, XmlParseError
from morvlen.engine.sequential_engine import SequentialEngine
from runtime_helpers import document, tree

LEAF = "<AlwaysSuccess/>"


def nested(depth: int) -> str:
    return document(tree("T", "<Inverter>" * (depth - 1) + LEAF + "</Inverter>" * (depth - 1)))


def factory_with(**limits) -> BehaviorTreeFactory:
    factory = BehaviorTreeFactory()
    factory.document_limits = DocumentLimits(**limits)
    return factory


def paths(built) -> list[str]:
    return [node["path"] for node in built.status_report()["nodes"]]


# ---------------------------------------------------------------- size and shape

def test_many_same_named_siblings_build_with_unique_paths():
    count = 100_000  # quadratic numbering took hours for this
    built = BehaviorTreeFactory().create_tree_from_text(document(tree("T", "<Sequence>" + LEAF * count + "</Sequence>")))
    found = paths(built)
    assert found[-1] == f"T/Sequence/AlwaysSuccess#{count}" and len(set(found)) == count + 1


def test_numbering_skips_names_already_taken():
    xml = document(tree("T", '<Sequence><AlwaysSuccess/><AlwaysSuccess name="AlwaysSuccess#2"/><AlwaysSuccess/>'
                             '<AlwaysSuccess/></Sequence>'))
    assert paths(BehaviorTreeFactory().create_tree_from_text(xml))[1:] == [
        "T/Sequence/AlwaysSuccess", "T/Sequence/AlwaysSuccess#2", "T/Sequence/AlwaysSuccess#3",
        "T/Sequence/AlwaysSuccess#4"]


def chained_subtrees(count: int, per_tree: int) -> str:
    """count trees, each holding per_tree SubTrees of the next."""
    trees = [tree(f"T{i}", "<Sequence>" + f'<SubTree ID="T{i + 1}"/>' * per_tree + "</Sequence>") for i in range(count)]
    return document(*trees, tree(f"T{count}", LEAF), main="T0")


@pytest.mark.parametrize("xml, limits, fragments", [
    # 16,000 levels overflowed the stack of the recursive build
    (nested(16_000), {}, ["max_depth=1000", "line 1"]),
    (nested(12), {"max_depth": 10}, ["max_depth=10"]),
    # each tree adds two levels; the document itself is shallow
    (chained_subtrees(600, 1), {}, ["max_depth=1000", "SubTrees are expanded"]),
    # 2**26 nodes once expanded: 4 GiB were exhausted before
    (chained_subtrees(26, 2), {}, ["max_nodes=1000000", "SubTrees are expanded"]),
    (chained_subtrees(3, 2), {"max_nodes": 20}, ["max_nodes=20", "tree 'T0'"]),  # 15 elements, 29 nodes
    (document(tree("T", "<Sequence>" + LEAF * 5 + "</Sequence>")), {"max_nodes": 5}, ["max_nodes=5", "elements"]),
], ids=["deep", "deep-custom", "subtree-depth", "subtree-fan-out", "nodes", "elements"])
def test_documents_over_a_limit_are_refused_naming_it(xml, limits, fragments):
    with pytest.raises(TreeBuildError) as caught:
        factory_with(**limits).create_tree_from_text(xml)
    for fragment in fragments:
        assert fragment in str(caught.value)


@pytest.mark.parametrize("xml, limits", [
    (nested(8), {"max_depth": 10}),  # root, BehaviorTree and 8 nodes
    (chained_subtrees(10, 2), {"max_nodes": 4093}),  # exactly its node count
])
def test_documents_within_the_limits_build(xml, limits):
    factory_with(**limits).create_tree_from_text(xml)


def test_limits_are_validated_and_shared_by_reference():
    defaults = DocumentLimits()
    assert (defaults.max_depth, defaults.max_nodes, defaults.max_file_bytes, defaults.include_dir) == (
        1000, 1_000_000, 64 << 20, None)
    for field, value in [("max_depth", 0), ("max_depth", 5001), ("max_nodes", 0), ("max_file_bytes", -1)]:
        with pytest.raises(ValueError, match=field):
            DocumentLimits(**{field: value})
        with pytest.raises(ValueError, match=field):
            setattr(defaults, field, value)
    engine = SequentialEngine()
    engine.document_limits.max_depth = 3
    with pytest.raises(TreeBuildError, match="max_depth=3"):
        engine.create_tree_from_text(nested(3))


def test_thread_engine_builds_within_its_factory_limits(mt, logs):
    engine = mt.ThreadEngine()
    try:
        engine.factory.document_limits.max_depth = 3
        tree_id = engine.create_tree_from_text(nested(3))
        with pytest.raises(RuntimeError, match="max_depth=3"):
            engine.tick_once(tree_id)
    finally:
        engine.stop_all_trees()


def test_other_threads_run_while_a_tree_builds():
    xml = document(tree("T", "<Sequence>" + LEAF * 300_000 + "</Sequence>"))
    factory = BehaviorTreeFactory()
    builder = threading.Thread(target=factory.create_tree_from_text, args=(xml,))
    turns = refused = 0
    builder.start()
    while builder.is_alive() and turns < 20:  # each turn needs the GIL back
        builder.join(0.001)
        turns += 1
        try:  # the build reads the registry without the GIL: it must not change meanwhile
            factory.register_action(f"Act{turns}", lambda node: None)
        except BehaviorTreeError as error:
            assert "while this factory is building" in str(error)
            refused += 1
    builder.join(60)
    assert turns == 20, "the build held the GIL throughout"
    assert refused > 0


# ---------------------------------------------------------------- includes

def including(path) -> str:
    return document(f'<include path="{path}"/>', tree("T", LEAF))


def make_special(tmp_path, kind: str):
    if kind == "fifo":
        os.mkfifo(tmp_path / "fifo")
        return tmp_path / "fifo", "a FIFO"
    if kind == "directory":
        return tmp_path, "a directory"
    if kind == "missing":
        return tmp_path / "missing.xml", "No such file"
    if kind == "large":
        (tmp_path / "large.xml").write_text(document() + " " * 200)
        return tmp_path / "large.xml", "max_file_bytes=100"
    return "/dev/zero", "a device"


def test_included_files_are_limited_in_all(tmp_path):
    (tmp_path / "empty.xml").write_text(document())
    size = len(document())
    xml = document(*['<include path="empty.xml"/>'] * 5, tree("T", LEAF))
    factory_with(include_dir=tmp_path, max_file_bytes=5 * size).create_tree_from_text(xml)
    with pytest.raises(TreeBuildError, match=f"max_file_bytes={5 * size - 1} bytes in all"):
        factory_with(include_dir=tmp_path, max_file_bytes=5 * size - 1).create_tree_from_text(xml)


@pytest.mark.parametrize("kind", ["device", "fifo", "directory", "missing", "large"])
def test_includes_read_only_regular_files_within_the_size_limit(tmp_path, kind):
    path, reason = make_special(tmp_path, kind)
    with pytest.raises(TreeBuildError) as caught:
        factory_with(max_file_bytes=100).create_tree_from_text(including(path))
    assert str(path) in str(caught.value) and reason in str(caught.value)


def test_includes_are_confined_to_the_include_dir(tmp_path):
    (inside := tmp_path / "inside").mkdir()
    (inside / "part.xml").write_text(document(tree("Part", LEAF)))
    (tmp_path / "secret.xml").write_text(document(tree("Secret", LEAF)))
    (inside / "link.xml").symlink_to(tmp_path / "secret.xml")
    factory = factory_with(include_dir=inside)
    # relative includes of a text resolve against the include directory
    factory.create_tree_from_text(document('<include path="part.xml"/>', tree("T", '<SubTree ID="Part"/>'), main="T"))
    for path in ["../secret.xml", "link.xml", str(tmp_path / "secret.xml")]:
        with pytest.raises(TreeBuildError, match="outside the include directory"):
            factory.create_tree_from_text(including(path))


def test_a_file_that_is_no_regular_file_is_refused(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    with pytest.raises(BehaviorTreeError, match="a FIFO"):
        BehaviorTreeFactory().create_tree_from_file(tmp_path / "fifo")
    with pytest.raises(IsADirectoryError):
        BehaviorTreeFactory().create_tree_from_file(tmp_path)


# ---------------------------------------------------------------- text

LATIN_1 = '<?xml version="1.0" encoding="ISO-8859-1"?>' + document(tree("T", '<AlwaysSuccess name="café"/>'))


@pytest.mark.parametrize("given", [
    LATIN_1.encode("latin-1"),
    LATIN_1,  # a str is already decoded, whatever it declares
    LATIN_1.replace("ISO-8859-1", "windows-1252").encode("cp1252"),  # known to Python's codecs only
])
def test_declared_encodings_are_honoured(given):
    assert paths(BehaviorTreeFactory().create_tree_from_text(given)) == ["T/café"]


def test_files_honour_their_declared_encoding(tmp_path):
    (tmp_path / "t.xml").write_bytes(LATIN_1.encode("latin-1"))
    engine = SequentialEngine()
    engine.create_tree_from_file(tmp_path / "t.xml")
    assert engine.get_tree_status()["nodes"][0]["path"] == "T/café"


@pytest.mark.parametrize("xml, fragments", [
    (document(tree("T", LEAF)) + "\udc80", ["not valid Unicode", "surrogates"]),
    ('<root BTCPP_format="4">\n<BehaviorTree ID="T">\n<Sequence>', ["line 3, column 11", "<Sequence> opened at line 3"]),
    ('<root>\n<BehaviorTree ID="T"></root>', ["line 2, column 24", "mismatched tag", "<BehaviorTree> opened at line 2"]),
    ("<root><a b='1' b='2'/></root>", ["line 1, column 16", "duplicate attribute"]),
    (b'<?xml version="1.0" encoding="GBK"?><root/>', ["unknown encoding", "multi-byte encodings are not supported"]),
])
def test_parse_errors_give_one_position_and_the_open_element(xml, fragments):
    with pytest.raises(XmlParseError) as caught:
        BehaviorTreeFactory().create_tree_from_text(xml)
    message = str(caught.value)
    assert message.count("column") <= 1
    for fragment in fragments:
        assert fragment in message
