// The page talks only to its own server.

export class ApiError extends Error {}

const listeners = [];

// Called with true or false whenever the server answers or cannot be reached.
export function onConnection(listener) {
  listeners.push(listener);
}

export async function api(method, path, body) {
  const options = { method, headers: {} };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(path, options);
  } catch (e) {
    for (const l of listeners) l(false);
    throw new ApiError("无法连接到下载服务，请稍后再试");
  }
  for (const l of listeners) l(true);
  let data = null;
  try {
    data = await response.json();
  } catch (e) {
    data = null;
  }
  if (!response.ok) {
    const error = new ApiError((data && data.error) || `请求失败（HTTP ${response.status}）`);
    error.data = data;
    throw error;
  }
  return data;
}
