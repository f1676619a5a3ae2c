"""Counts in the words a shop owner reads: "1 payment", "2 payments"."""


def counted(count: int, noun: str, plural: str | None = None) -> str:
    return f"{count} {noun if count == 1 else plural or noun + 's'}"
