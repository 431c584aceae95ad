"""Job records and the worker roll call in Redis, shared by every front end
and worker of a service that runs on several machines.

Keys, under a prefix (default "pemux"):
  P:p:<pkey>       hash: state, owner, total, count, deaths, starts, tries,
                   failed_try, error, created, used
  P:r:<rid>        hash: pkey, key, created
  P:pr:<pkey>      set of the request ids of a problem
  P:pend:<key id>  set of problem keys of one API key that may still be pending
  P:s:<state>      set of problem keys in that state
  P:used           sorted set: problem key -> last use
  P:workers        set of worker ids; P:worker:<id> their ads, with a TTL
  P:changed        channel: a problem key whenever a problem is done or failed
  P:held:<key id>  sorted set: problems of one key not yet sent to the
                   workers, by when they were held
  P:out:<key id>   set: problems of one key sent and not yet finished
  P:heldkeys       set of key ids with held problems
  P:sent           sorted set: problem key -> when it was last sent

Every change of state is one Lua script, so that front ends and workers on
different machines never see half of one.
"""

import inspect
import json
import time

import redis

from .store import DONE, FAILED, QUEUED, RUNNING, JobStore, Problem, is_problem_key

# Shared head of the scripts: KEYS[1] is the problem hash; moving a problem
# keeps the per-state sets and the change channel in step.
_LIB = """
local prefix = ARGV[1]
local function set_state(p, pkey, new)
  local old = redis.call('hget', p, 'state')
  if old then redis.call('srem', prefix .. ':s:' .. old, pkey) end
  redis.call('hset', p, 'state', new)
  redis.call('sadd', prefix .. ':s:' .. new, pkey)
  if new == 'done' or new == 'failed' then
    redis.call('publish', prefix .. ':changed', pkey)
  end
end
"""

# ARGV: prefix, pkey, rid, key id, total, count, state, now, error, try, reuse
# A failed problem starts afresh, unless the failure is of this very try;
# with reuse, a missing or failed problem is left alone (nil).
_ACCEPT = _LIB + """
local pkey, rid, kid = ARGV[2], ARGV[3], ARGV[4]
local total, count, state, now, err, try = ARGV[5], ARGV[6], ARGV[7], ARGV[8], ARGV[9], ARGV[10]
local p = KEYS[1]
local cur = redis.call('hget', p, 'state')
if ARGV[11] == '1' and (not cur or cur == 'failed') then return false end
local fresh = not cur
if cur == 'failed' then
  local failed_try = tonumber(redis.call('hget', p, 'failed_try') or '0')
  fresh = try == '' or failed_try < tonumber(try)
end
if fresh then
  set_state(p, pkey, state)
  redis.call('hset', p, 'deaths', 0, 'starts', 0, 'owner', kid)
  if err ~= '' then redis.call('hset', p, 'error', err) else redis.call('hdel', p, 'error') end
end
redis.call('hsetnx', p, 'total', total)
redis.call('hsetnx', p, 'owner', kid)
redis.call('hsetnx', p, 'count', count)
redis.call('hsetnx', p, 'created', now)
redis.call('hset', p, 'used', now)
redis.call('zadd', prefix .. ':used', now, pkey)
redis.call('hset', prefix .. ':r:' .. rid, 'pkey', pkey, 'key', kid, 'created', now)
redis.call('sadd', prefix .. ':pr:' .. pkey, rid)
local s = redis.call('hget', p, 'state')
if s == 'queued' or s == 'running' then redis.call('sadd', prefix .. ':pend:' .. kid, pkey) end
return s
"""

# ARGV: prefix, pkey, try, max starts, error text when over, starts to add (0 or 1)
# Returns the state the worker should act on: 'running' to solve, or the
# state that makes this delivery moot.
_BEGIN = _LIB + """
local pkey, try, max_starts = ARGV[2], tonumber(ARGV[3]), tonumber(ARGV[4])
local p = KEYS[1]
local cur = redis.call('hget', p, 'state')
if cur == 'done' then return 'done' end
if cur == 'failed' and tonumber(redis.call('hget', p, 'failed_try') or '0') >= try then
  return 'failed'
end
local starts = redis.call('hincrby', p, 'starts', tonumber(ARGV[6]))
if starts > max_starts then
  redis.call('hset', p, 'error', ARGV[5], 'failed_try', try)
  set_state(p, pkey, 'failed')
  return 'failed'
end
set_state(p, pkey, 'running')
return 'running'
"""

# ARGV: prefix, pkey, state, now, error, try
_END = _LIB + """
local pkey, state, now, err, try = ARGV[2], ARGV[3], ARGV[4], ARGV[5], ARGV[6]
local p = KEYS[1]
if not redis.call('hget', p, 'state') then return false end
if state == 'failed' then
  if redis.call('hget', p, 'state') == 'done' then return 'done' end
  redis.call('hset', p, 'error', err, 'failed_try', try == '' and 0 or try)
else
  redis.call('hdel', p, 'error')
end
redis.call('hset', p, 'used', now)
redis.call('zadd', prefix .. ':used', now, pkey)
set_state(p, pkey, state)
return state
"""

# ARGV: prefix, pkey, died (0/1), now
# Counted as sent now: should its message be lost from here on (a worker
# that stopped, a message given up after its retries), release() sends it
# again once it has waited as long as any sent problem may.
_REQUEUE = _LIB + """
local p = KEYS[1]
if not redis.call('hget', p, 'state') then return 0 end
local deaths = redis.call('hincrby', p, 'deaths', tonumber(ARGV[3]))
set_state(p, ARGV[2], 'queued')
redis.call('zadd', prefix .. ':sent', ARGV[4], ARGV[2])
return deaths
"""

# ARGV: prefix, key id. Drops problems that are no longer pending.
_PENDING = """
local prefix, kid = ARGV[1], ARGV[2]
local set = prefix .. ':pend:' .. kid
local n = 0
for _, pkey in ipairs(redis.call('smembers', set)) do
  local s = redis.call('hget', prefix .. ':p:' .. pkey, 'state')
  if s == 'queued' or s == 'running' then n = n + 1 else redis.call('srem', set, pkey) end
end
return n
"""

# ARGV: prefix. The queued problem of the owner with the fewest running,
# oldest first; now running.
_CLAIM = _LIB + """
local running = {}
for _, pkey in ipairs(redis.call('smembers', prefix .. ':s:running')) do
  local o = redis.call('hget', prefix .. ':p:' .. pkey, 'owner') or ''
  running[o] = (running[o] or 0) + 1
end
local best, best_run, best_created
for _, pkey in ipairs(redis.call('smembers', prefix .. ':s:queued')) do
  local o, c = unpack(redis.call('hmget', prefix .. ':p:' .. pkey, 'owner', 'created'))
  local r, created = running[o or ''] or 0, tonumber(c or '0')
  if not best or r < best_run or (r == best_run and created < best_created) then
    best, best_run, best_created = pkey, r, created
  end
end
if not best then return false end
set_state(prefix .. ':p:' .. best, best, 'running')
return best
"""

# ARGV: prefix, cutoff. Removes finished problems last used before cutoff.
_EXPIRE = """
local prefix, cutoff = ARGV[1], ARGV[2]
local gone = {}
for _, pkey in ipairs(redis.call('zrangebyscore', prefix .. ':used', '-inf', '(' .. cutoff)) do
  local p = prefix .. ':p:' .. pkey
  local s = redis.call('hget', p, 'state')
  if s == 'done' or s == 'failed' or not s then
    local pr = prefix .. ':pr:' .. pkey
    for _, rid in ipairs(redis.call('smembers', pr)) do
      redis.call('del', prefix .. ':r:' .. rid)
    end
    redis.call('del', pr, p)
    if s then redis.call('srem', prefix .. ':s:' .. s, pkey) end
    redis.call('zrem', prefix .. ':used', pkey)
    table.insert(gone, pkey)
  end
end
return gone
"""

# ARGV: prefix, pkey, key id, now. Holds a new problem until its key's
# share of the broker queue has room.
_HOLD = """
local prefix, pkey, kid, now = ARGV[1], ARGV[2], ARGV[3], ARGV[4]
redis.call('zadd', prefix .. ':held:' .. kid, 'NX', now, pkey)
redis.call('sadd', prefix .. ':heldkeys', kid)
"""

# ARGV: prefix, share, now, resend_after. Each key may have share problems
# sent and unfinished; returns pkey, try pairs to send now: held problems
# of keys below their share, and sent ones still queued and unstarted long
# after their send (their message may have died with a front end).
_RELEASE = """
local prefix, share, now, resend_after = ARGV[1], tonumber(ARGV[2]), tonumber(ARGV[3]),
  tonumber(ARGV[4])
local out = {}
local function pending(pk)
  local s = redis.call('hget', prefix .. ':p:' .. pk, 'state')
  return s == 'queued' or s == 'running' or not s
end
for _, kid in ipairs(redis.call('smembers', prefix .. ':heldkeys')) do
  local held, sent = prefix .. ':held:' .. kid, prefix .. ':out:' .. kid
  for _, pk in ipairs(redis.call('smembers', sent)) do
    if not pending(pk) then
      redis.call('srem', sent, pk)
      redis.call('zrem', prefix .. ':sent', pk)
    end
  end
  local n = redis.call('scard', sent)
  while n < share do
    local first = redis.call('zrange', held, 0, 0)
    if #first == 0 then break end
    local pk = first[1]
    redis.call('zrem', held, pk)
    if pending(pk) then
      redis.call('sadd', sent, pk)
      redis.call('zadd', prefix .. ':sent', now, pk)
      table.insert(out, pk)
      table.insert(out, redis.call('hget', prefix .. ':p:' .. pk, 'tries') or '1')
      n = n + 1
    end
  end
  if redis.call('zcard', held) == 0 and n == 0 then
    redis.call('srem', prefix .. ':heldkeys', kid)
  end
end
for _, pk in ipairs(redis.call('zrangebyscore', prefix .. ':sent', '-inf', now - resend_after)) do
  local p = prefix .. ':p:' .. pk
  local s = redis.call('hget', p, 'state')
  if s == 'queued' then
    redis.call('zadd', prefix .. ':sent', now, pk)
    table.insert(out, pk)
    table.insert(out, redis.call('hget', p, 'tries') or '1')
  elseif s ~= 'queued' then
    redis.call('zrem', prefix .. ':sent', pk)
  end
end
return out
"""

_FIELDS = ("state", "total", "count", "deaths", "error")


def connect(url, retries=8, **kw):
    """A client that rides out a short broker restart: commands are retried
    with backoff (8 retries: about 3 s) before the error reaches the caller."""
    from redis.backoff import ExponentialBackoff
    from redis.retry import Retry
    kw.setdefault("socket_connect_timeout", 2)
    kw.setdefault("socket_timeout", 10)
    kw.setdefault("health_check_interval", 30)
    return redis.Redis.from_url(
        url, retry=Retry(ExponentialBackoff(cap=0.5, base=0.02), retries),
        retry_on_error=[redis.ConnectionError, redis.TimeoutError], **kw)


def then(value, fn):
    """fn(value), for a value now or, from the asyncio client, to come: the
    same store code serves workers (blocking client) and front ends (asyncio
    client, on the event loop). fn may itself return something to come."""
    if inspect.isawaitable(value):
        async def chain():
            out = fn(await value)
            while inspect.isawaitable(out):
                out = await out
            return out
        return chain()
    return fn(value)


_COUNTS = """
local out = {}
for i, state in ipairs(ARGV) do
  if i > 1 then out[i - 1] = redis.call('scard', ARGV[1] .. ':s:' .. state) end
end
return out
"""


def connect_async(url, retries=2, **kw):
    """The asyncio client of a front end: short retries, since a call that
    waits holds its request, and the client polls again anyway."""
    import redis.asyncio as aioredis
    from redis.asyncio.retry import Retry
    from redis.backoff import ExponentialBackoff
    kw.setdefault("socket_connect_timeout", 1)
    kw.setdefault("socket_timeout", 5)
    return aioredis.Redis.from_url(
        url, retry=Retry(ExponentialBackoff(cap=0.5, base=0.02), retries),
        retry_on_error=[redis.ConnectionError, redis.TimeoutError], **kw)


class RedisJobStore(JobStore):
    """Every method returns its value, or with an asyncio client an
    awaitable of it."""

    def __init__(self, client, prefix="pemux"):
        self.r = client
        self.prefix = prefix
        reg = client.register_script
        self._accept = reg(_ACCEPT)
        self._begin = reg(_BEGIN)
        self._end = reg(_END)
        self._requeue = reg(_REQUEUE)
        self._pending = reg(_PENDING)
        self._expire = reg(_EXPIRE)
        self._claim = reg(_CLAIM)
        self._hold = reg(_HOLD)
        self._release = reg(_RELEASE)
        self._counts = reg(_COUNTS)

    def _p(self, pkey):
        return f"{self.prefix}:p:{pkey}"

    @staticmethod
    def _problem(pkey, values):
        state, total, count, deaths, error = (
            v.decode() if v is not None else None for v in values)
        if state is None:
            return None  # unknown, or a try counted before its first accept
        return Problem(pkey, state, int(total or 0), int(count or 0),
                       int(deaths or 0), error)

    def problem(self, pkey):
        return then(self.r.hmget(self._p(pkey), _FIELDS), lambda v: self._problem(pkey, v))

    def new_try(self, pkey):
        return then(self.r.hincrby(self._p(pkey), "tries", 1), int)

    def accept(self, rid, pkey, key_id, total, count, state, now, error=None, try_no=None,
               reuse=False):
        return then(self._accept(keys=[self._p(pkey)], args=[
            self.prefix, pkey, rid, key_id, total, count, state, repr(now), error or "",
            "" if try_no is None else try_no, "1" if reuse else "0"]),
            lambda got: None if got is None else got.decode())

    def request(self, rid, key_id):
        def found(fields):
            pkey, owner = fields
            if pkey is None or owner is None or owner.decode() != key_id:
                return None
            pkey = pkey.decode()
            # Whoever can write to the broker can write this field: it names
            # a file only in the one form a problem key has.
            if not is_problem_key(pkey):
                return None
            return self.problem(pkey)
        return then(self.r.hmget(f"{self.prefix}:r:{rid}", ("pkey", "key")), found)

    def pending_for(self, key_id):
        return then(self._pending(args=[self.prefix, key_id]), int)

    def claim(self):
        def found(pkey):
            if not pkey or not is_problem_key(pkey.decode()):
                return None
            return self.problem(pkey.decode())
        return then(self._claim(args=[self.prefix]), found)

    def hold(self, pkey, key_id, now):
        """Keeps a new problem back until its key's share of the broker
        queue has room (release())."""
        return self._hold(args=[self.prefix, pkey, key_id, repr(now)])

    def release(self, share, now, resend_after):
        """(pkey, try) of each problem to send to the workers now."""
        def pairs(got):
            return [(got[i].decode(), int(got[i + 1])) for i in range(0, len(got), 2)
                    if is_problem_key(got[i].decode())]
        return then(self._release(args=[self.prefix, share, repr(now), repr(resend_after)]),
                    pairs)

    def begin(self, pkey, try_no, max_starts, over_text, new_start=True):
        return then(self._begin(keys=[self._p(pkey)], args=[
            self.prefix, pkey, try_no, max_starts, over_text, 1 if new_start else 0]),
            bytes.decode)

    def finish(self, pkey, now):
        return self._end(keys=[self._p(pkey)],
                         args=[self.prefix, pkey, DONE, repr(now), "", ""])

    def fail(self, pkey, error, now, try_no=None):
        return self._end(keys=[self._p(pkey)], args=[
            self.prefix, pkey, FAILED, repr(now), error, "" if try_no is None else try_no])

    def requeue(self, pkey, died, now=None):
        return then(self._requeue(keys=[self._p(pkey)], args=[
            self.prefix, pkey, 1 if died else 0, repr(time.time() if now is None else now)]),
            int)

    def recover(self):
        # A lost worker's problems come back through the broker; nothing
        # here needs moving.
        return then(self.r.sunion(f"{self.prefix}:s:{QUEUED}", f"{self.prefix}:s:{DONE}"),
                    lambda keys: [k.decode() for k in keys])

    def expire(self, cutoff):
        return then(self._expire(args=[self.prefix, repr(cutoff)]),
                    lambda keys: [k.decode() for k in keys])

    def counts(self, states=(QUEUED, RUNNING, DONE, FAILED)):
        return then(self._counts(args=[self.prefix, *states]),
                    lambda got: dict(zip(states, map(int, got), strict=True)))

    def close(self):
        return self.r.close() if not hasattr(self.r, "aclose") else self.r.aclose()


class WorkerRoll:
    """Who is solving: each worker keeps an ad (its memory ceiling) under a
    key that expires unless refreshed, so a lost machine drops off on its
    own within one TTL."""

    def __init__(self, client, prefix="pemux"):
        self.r = client
        self.prefix = prefix

    def advertise(self, worker_id, ad, ttl_s):
        with self.r.pipeline(transaction=True) as pipe:
            pipe.set(f"{self.prefix}:worker:{worker_id}", json.dumps(ad), px=int(ttl_s * 1000))
            pipe.sadd(f"{self.prefix}:workers", worker_id)
            pipe.execute()

    def withdraw(self, worker_id):
        with self.r.pipeline(transaction=True) as pipe:
            pipe.delete(f"{self.prefix}:worker:{worker_id}")
            pipe.srem(f"{self.prefix}:workers", worker_id)
            pipe.execute()

    def live(self):
        """The ads of workers alive now, by worker id."""
        def got_ids(members):
            ids = sorted(w.decode() for w in members)
            if not ids:
                return {}
            return then(self.r.mget([f"{self.prefix}:worker:{w}" for w in ids]),
                        lambda ads: self._ads(ids, ads))
        return then(self.r.smembers(f"{self.prefix}:workers"), got_ids)

    def _ads(self, ids, ads):
        live = {w: json.loads(ad) for w, ad in zip(ids, ads, strict=True) if ad is not None}
        gone = [w for w in ids if w not in live]
        if gone:
            return then(self.r.srem(f"{self.prefix}:workers", *gone), lambda _: live)
        return live
