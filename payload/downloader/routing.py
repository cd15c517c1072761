"""The table of the server's routes, filled by the route modules as they are imported."""

import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Callable

if TYPE_CHECKING:
    from .web import Handler

Action = Callable[["Handler", "re.Match[str]"], None]


@dataclass(frozen=True)
class Route:
    methods: tuple[str, ...]
    pattern: "re.Pattern[str]"
    action: Action
    # Open routes answer without the session cookie.
    open: bool = False


ROUTES: list[Route] = []


def route(methods: str, pattern: str, open: bool = False) -> Callable[[Action], Action]:
    """Adds the decorated action to ROUTES for these methods and this path."""
    def register(action: Action) -> Action:
        ROUTES.append(Route(tuple(methods.split()), re.compile(pattern + r"\Z"), action, open))
        return action
    return register
