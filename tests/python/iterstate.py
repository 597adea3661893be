"""Helpers for observing a collection's modification counter from Python."""

CHANGED = "dictionary changed size during iteration"


def still_valid(it):
    """Whether the collection behind a fresh iterator kept its counter: the
    next step yields or ends instead of raising the change error."""
    try:
        next(it)
    except StopIteration:
        return True
    except RuntimeError as e:
        assert str(e) == CHANGED
        return False
    return True
