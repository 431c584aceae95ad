"""Which values make a total, over the service: the pieces of a route of
its own (reading a problem, checking and writing an answer), as plain
functions that the front door and a worker can call. pemux-service does not
serve the route yet; the client's side speaks this exchange:

    POST /v0/app/subset          same key header as a submit
      body {"values":[3,-5,7],"total":2}
      answer as a submit: {"requestId":"..."} or a refusal {"message":"..."}
    GET  /v0/subset?requestId=ID polled like /v0/result
      ready: 200 {"indices":[1,2]} or {"found":false}
      before: the not-ready answer of /v0/result; {"error":"..."} ends it

The values may be negative, their magnitudes summing to at most 2**64 - 1;
the total is any integer. A client sums the answer itself before it trusts
it, as the service does before it sends it.
"""

import json

from .protocol import MAX_U64, message

SUBSET_PATH = "/v0/app/subset"
BAD_SUBSET = ("Expected a JSON object with values (integers whose magnitudes sum "
              "to at most 18446744073709551615) and an integer total")
WRONG_ANSWER = "The subset found does not sum to the total"


def parse_subset_problem(body):
    """(values, total) of a subset body, or None when it is not one."""
    try:
        problem = json.loads(body)
    except (UnicodeDecodeError, ValueError, RecursionError):
        return None
    if type(problem) is not dict or set(problem) != {"values", "total"}:
        return None
    values, total = problem["values"], problem["total"]
    # bool is an int subclass, and JSON true/false are not values.
    if type(values) is not list or type(total) is not int:
        return None
    if any(type(v) is not int for v in values):
        return None
    if sum(abs(v) for v in values) > MAX_U64:
        return None
    return values, total


def answer_sums(values, total, indices):
    """Whether indices are ascending, distinct, in range and sum to total."""
    return (all(type(i) is int for i in indices)
            and all(a < b for a, b in zip(indices, indices[1:], strict=False))
            and all(0 <= i < len(values) for i in indices)
            and sum(values[i] for i in indices) == total)


def subset_answer(indices):
    """The 200 body for a subset (a list of indices) or None (no subset)."""
    if indices is None:
        return b'{"found":false}'
    return b'{"indices":[%s]}' % ",".join(str(i) for i in indices).encode()


def handle_subset(body, solve):
    """(status, body) for a POST of body; solve(values, total) gives the
    indices or None (in a worker: pemux.subset_with_sum in-process). An
    answer that does not sum is a failure, never sent as a subset."""
    problem = parse_subset_problem(body)
    if problem is None:
        return 400, message(BAD_SUBSET)
    values, total = problem
    indices = solve(values, total)
    if indices is not None and not answer_sums(values, total, list(indices)):
        return 500, message(WRONG_ANSWER)
    return 200, subset_answer(None if indices is None else list(indices))


def read_subset_answer(values, total, body):
    """A client's reading of a 200 body: the indices, None for no subset;
    ValueError for a body that is neither or a subset that does not sum."""
    answer = json.loads(body)
    if answer == {"found": False}:
        return None
    if type(answer) is not dict or set(answer) != {"indices"} or \
            type(answer["indices"]) is not list:
        raise ValueError("not a subset answer")
    if not answer_sums(values, total, answer["indices"]):
        raise ValueError(WRONG_ANSWER)
    return answer["indices"]
