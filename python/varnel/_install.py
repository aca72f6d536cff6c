"""How to install an optional dependency, in words that work for how varnel is installed.

varnel is not on a package index, so ``pip install 'varnel[extra]'`` would fail:
the hint names the plain packages, and the extra for a checkout of varnel.
"""


def install_hint(packages: str, extra: str) -> str:
    return f"pip install {packages} (or, in a varnel checkout, pip install '.[{extra}]' or '.[all]')"
