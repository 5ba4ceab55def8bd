def test_import():
    import morvlen.core, morvlen.engine.trigger.mthread  # noqa: F401
