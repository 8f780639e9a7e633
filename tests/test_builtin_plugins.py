"""The shipped plugins: their prompt patterns match real prompts and nothing else."""
import re

import pytest

from sorvex.plugins.talvo.connection import TalvoConnection, TalvoDualRpConnection
from sorvex.plugins.talvo.t5 import T5Connection


@pytest.mark.parametrize(
    "cls, prompt, matches",
    [
        (TalvoConnection, "edge1>", True),
        (TalvoConnection, "edge1# ", True),
        (TalvoConnection, "edge1(config-if)#", True),
        (TalvoConnection, "edge1#show version", False),
        (TalvoDualRpConnection, "edge1-stby#", True),
        (T5Connection, "core2/rp0#", True),
        (T5Connection, "core2#", False),
    ],
)
def test_prompt_pattern(cls, prompt, matches):
    assert bool(re.match(cls.prompt_pattern, prompt)) is matches
