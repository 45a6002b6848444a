"""Texts for the typing tests: long, mixed and reproducible.

mixed_text(seed) is 4000 user-perceived characters, most of them ASCII, with
accented Latin letters, CJK, Hebrew and Arabic, emoji with skin tones and
joiners, and combining sequences: well over 30 distinct characters that a US
keyboard map lacks. Each unit below is one grapheme cluster on its own and
none merges with its neighbours, so the count is exact."""

import random

ASCII = [chr(c) for c in range(0x21, 0x7F)] + [" "] * 12
ACCENTED = list("àáâãäåæçèéêëìíîïñòóôõöøùúûüýÿąćęłńśźżčďěňřšťůžß")
CJK = list("日本語漢字東京中文你好世界学生先生大小上下左右")
RTL = list("שלוםעולם") + list("مرحباعالم")
EMOJI = ["😀", "👍🏽", "👩\u200d💻", "🎉", "🌍", "🚀", "❤\ufe0f", "👋🏿"]
COMBINING = ["e\u0301", "a\u0308", "n\u0303", "o\u0302\u0323"]
CONTROLS = ["\t", "\n"]


def mixed_text(seed, count=4000, controls=False):
    """controls: also tabs and line breaks (for a multi-line text view)."""
    rng = random.Random(seed)
    # Mostly Latin, as most typed text is: a single-line GTK entry lays out
    # the whole line again for every key, which for long CJK or right-to-left
    # text takes the application itself longer than a session lasts.
    pools = [(ASCII, 86), (ACCENTED, 10), (CJK, 1), (EMOJI, 1), (COMBINING, 1), (RTL, 1)]
    if controls:
        pools.append((CONTROLS, 2))
    names, weights = zip(*pools)
    return "".join(rng.choice(rng.choices(names, weights)[0]) for _ in range(count))


def missing_from_us_keyboard(text):
    """The distinct characters of text that a US keyboard map lacks."""
    return {c for c in text if not (0x20 <= ord(c) < 0x7F or c in "\t\n")}
