"""Shared fixtures: a card in a temporary sandbox that is always stopped."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from cardlib import Card, PtyPair  # noqa: E402


@pytest.fixture
def make_card(tmp_path):
    cards = []

    def make(settings=None, ports=None, start=True):
        card = Card(tmp_path / f"c{len(cards)}", settings=settings, ports=ports)
        cards.append(card)
        if start:
            card.start()
        return card

    yield make
    for c in cards:
        c.stop()


@pytest.fixture
def pty_pair(tmp_path):
    pairs = []

    def make(name="tty"):
        p = PtyPair(tmp_path, name)
        pairs.append(p)
        return p

    yield make
    for p in pairs:
        p.close()
